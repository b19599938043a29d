#include <windows.h>

#include <gtest/gtest.h>

#include "shell/ui_text.h"

TEST(UiLanguageRule, OnlySimplifiedChineseGivesChinese) {
  EXPECT_EQ(UiLanguageForLangId(2052), UiLanguage::Chinese);
  for (std::uint16_t other : {1033, 1028, 3076, 1041, 2057, 1031, 0}) {
    EXPECT_EQ(UiLanguageForLangId(other), UiLanguage::English) << other;
  }
}

TEST(UiLanguageRule, FollowsTheSystemUiLanguageOfThisRun) {
  wchar_t expected[16] = {};
  GetEnvironmentVariableW(L"VARNOCK_UI_LANG", expected, 16);
  const bool chinese = std::wstring(expected) == L"2052";
  EXPECT_EQ(GetUserDefaultUILanguage(), chinese ? 2052 : 1033);
  EXPECT_EQ(SelectUiLanguage(), chinese ? UiLanguage::Chinese : UiLanguage::English);
}

TEST(ConstantTables, ColumnsAndContextMenu) {
  ASSERT_EQ(g_ColumnTitlesZh.size(), 4u);
  ASSERT_EQ(g_ColumnTitlesEn.size(), 4u);
  EXPECT_EQ(g_ColumnTitlesZh[0], L"制造商");
  EXPECT_EQ(g_ColumnTitlesZh[3], L"固件版本");
  EXPECT_EQ(g_ColumnTitlesEn[2], L"SerialNumber");
  EXPECT_EQ(g_ColumnTitlesEn[3], L"FwRev");
  EXPECT_EQ(g_ColumnWidths.at(0), 150);
  EXPECT_EQ(g_ColumnWidths.at(1), 200);
  EXPECT_EQ(g_ColumnWidths.at(2), 300);
  EXPECT_EQ(g_ColumnWidths.at(3), 150);
  EXPECT_EQ(g_ContextMenuTexts.at(2052), (std::vector<std::wstring>{L"复制信息", L"升级固件"}));
  EXPECT_EQ(g_ContextMenuTexts.at(1033), (std::vector<std::wstring>{L"CopyInfo", L"FWDownload"}));
  EXPECT_EQ(g_ContextMenuTexts.size(), 2u);
}

TEST(ConstantTables, FileFilterIsTwoPairsEndingInTwoNuls) {
  const wchar_t* p = TXT_FILE_FILTER;
  std::vector<std::wstring> parts;
  while (*p) {
    parts.emplace_back(p);
    p += parts.back().size() + 1;
  }
  EXPECT_EQ(parts, (std::vector<std::wstring>{L"Bin Files", L"*.bin", L"All Files", L"*.*"}));
}
