// What of base/ui_text.h no screen shows: the language rule over many
// language ids, the shapes of the tables, and the texts of the file filter and
// of the start-up failure box. Every other text is checked where the user
// sees it (window_test, update_flow_test, command_line_test, acceptance).
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/ui_text.h"
#include "docks/dock_info.h"
#include "tests/support/test_support.h"

TEST(UiLanguageRule, OnlySimplifiedChineseGivesChinese) {
  EXPECT_EQ(UiLanguageForLangId(2052), UiLanguage::Chinese);
  for (std::uint16_t other : {1033, 1028, 3076, 1041, 2057, 1031, 0}) {
    EXPECT_EQ(UiLanguageForLangId(other), UiLanguage::English) << other;
  }
}

TEST(UiLanguageRule, FollowsTheSystemUiLanguageOfThisRun) {
  const bool chinese = testsupport::ChineseRun();
  EXPECT_EQ(GetUserDefaultUILanguage(), chinese ? 2052 : 1033);
  EXPECT_EQ(SelectUiLanguage(), chinese ? UiLanguage::Chinese : UiLanguage::English);
}

TEST(ConstantTables, FourColumnsAndTwoContextMenuEntriesPerLanguage) {
  EXPECT_EQ(g_ColumnTitlesZh.size(), 4u);
  EXPECT_EQ(g_ColumnTitlesEn.size(), 4u);
  EXPECT_EQ(g_ColumnWidths.size(), 4u);
  for (std::int32_t column = 0; column < 4; ++column) EXPECT_EQ(g_ColumnWidths.count(column), 1u) << column;
  ASSERT_EQ(g_ContextMenuTexts.size(), 2u);
  for (std::uint16_t language : {LANGID_CHINESE_PRC, LANGID_ENGLISH_US}) {
    ASSERT_EQ(g_ContextMenuTexts.count(language), 1u) << language;
    EXPECT_EQ(g_ContextMenuTexts.at(language).size(), 2u) << language;
  }
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

TEST(TextTable, TheStartUpFailureBoxIsEnglishInEveryLanguage) {
  EXPECT_EQ(std::wstring(TXT_LOG_INIT_FAILED), L"Init Log Failed");
  EXPECT_EQ(std::wstring(TXT_TIP), L"Tip");
}
