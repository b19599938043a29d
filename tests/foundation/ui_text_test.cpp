#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell/menus.h"
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

TEST(TextTable, EveryTwoLanguageTextReadsExactly) {
  struct Row {
    const char* key;
    UiText text;
    const wchar_t* chinese;
    const wchar_t* english;
  };
  const std::vector<Row> rows = {
      {"TXT_COL_VENDOR", TXT_COL_VENDOR, L"制造商", L"Vendor"},
      {"TXT_COL_PRODUCT", TXT_COL_PRODUCT, L"产品", L"Product"},
      {"TXT_COL_SERIAL", TXT_COL_SERIAL, L"序列号", L"SerialNumber"},
      {"TXT_COL_FWREV", TXT_COL_FWREV, L"固件版本", L"FwRev"},
      {"TXT_MENU_FILE", TXT_MENU_FILE, L"文件", L"File"},
      {"TXT_MENU_REFRESH", TXT_MENU_REFRESH, L"刷新", L"Refresh"},
      {"TXT_MENU_EXIT", TXT_MENU_EXIT, L"退出", L"Exit"},
      {"TXT_MENU_SETTINGS", TXT_MENU_SETTINGS, L"设置", L"Settings"},
      {"TXT_MENU_TOPMOST", TXT_MENU_TOPMOST, L"顶置", L"Topmost"},
      {"TXT_MENU_HELP", TXT_MENU_HELP, L"帮助", L"Help"},
      {"TXT_MENU_ABOUT", TXT_MENU_ABOUT, L"关于", L"About"},
      {"TXT_CTX_COPY_INFO", TXT_CTX_COPY_INFO, L"复制信息", L"CopyInfo"},
      {"TXT_CTX_FW_DOWNLOAD", TXT_CTX_FW_DOWNLOAD, L"升级固件", L"FWDownload"},
      {"TXT_WAIT_UPDATING", TXT_WAIT_UPDATING, L"请稍等，固件正在升级中...",
       L"Please Wait,Firmware is Updating..."},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(std::wstring(row.text.In(UiLanguage::Chinese)), row.chinese) << row.key;
    EXPECT_EQ(std::wstring(row.text.In(UiLanguage::English)), row.english) << row.key;
  }
}

TEST(TextTable, ColumnTitleTablesHoldTheColumnTextsInOrder) {
  EXPECT_EQ(g_ColumnTitlesZh, (std::vector<std::wstring>{L"制造商", L"产品", L"序列号", L"固件版本"}));
  EXPECT_EQ(g_ColumnTitlesEn, (std::vector<std::wstring>{L"Vendor", L"Product", L"SerialNumber", L"FwRev"}));
  EXPECT_EQ(g_ColumnWidths.size(), 4u);
}

TEST(TextTable, UpdateMessagesAreChineseOnly) {
  wchar_t missing[260] = {};
  swprintf_s(missing, 260, TXT_MSG_TOOL_MISSING, UPDATER_TOOL_NAME);
  EXPECT_EQ(std::wstring(missing), L"varnock_dockupdatefw.exe 文件不存在，无法升级。");
  EXPECT_EQ(std::wstring(TXT_MSG_INVALID_FW), L"不是有效的固件文件。");
  EXPECT_EQ(std::wstring(TXT_MSG_UPDATE_OK), L"固件升级成功。");
  EXPECT_EQ(std::wstring(TXT_MSG_UPDATE_FAILED), L"升级失败，请重新升级。");
  EXPECT_EQ(std::wstring(UPDATER_TOOL_NAME), L"varnock_dockupdatefw.exe");
}

TEST(TextTable, SingleLanguageAndSharedTexts) {
  EXPECT_EQ(std::wstring(TXT_LOG_INIT_FAILED), L"Init Log Failed");
  EXPECT_EQ(std::wstring(TXT_TIP), L"Tip");
  EXPECT_EQ(std::wstring(TXT_APP_TITLE), L"VarnockFirmwareUpdate");
  EXPECT_EQ(std::wstring(TXT_APP_CLASS), L"VarnockFWUpdate");
  EXPECT_EQ(std::wstring(TXT_APP_VERSION), L"V1.0.0.0");
  const std::wstring copyright = TXT_COPYRIGHT;
  EXPECT_FALSE(copyright.empty());
  EXPECT_EQ(copyright.find_first_of(L"\r\n"), std::wstring::npos) << "the copyright is one line";
  EXPECT_EQ(AboutText(), L"VarnockFirmwareUpdate V1.0.0.0\n\n" + copyright);
}

TEST(TextTable, WaitTextFollowsTheUiLanguageOfThisRun) {
  wchar_t language[16] = {};
  GetEnvironmentVariableW(L"VARNOCK_UI_LANG", language, 16);
  const std::wstring expected =
      std::wstring(language) == L"2052" ? L"请稍等，固件正在升级中..." : L"Please Wait,Firmware is Updating...";
  EXPECT_EQ(std::wstring(TXT_WAIT_UPDATING.In(SelectUiLanguage())), expected);
}
