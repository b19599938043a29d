// What of base/portable/ui_text.h no screen shows: the language rule over many
// language ids and the file filter's pairs. Every other text is checked where
// the user sees it (window_test, update_flow_test, command_line_test,
// acceptance; the column tables in the native tests).
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/portable/ui_text.h"
#include "docks/portable/dock_info.h"
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

TEST(ConstantTables, FileFilterIsTwoPairsEndingInTwoNuls) {
  const wchar_t* p = TXT_FILE_FILTER;
  std::vector<std::wstring> parts;
  while (*p) {
    parts.emplace_back(p);
    p += parts.back().size() + 1;
  }
  EXPECT_EQ(parts, (std::vector<std::wstring>{L"Bin Files", L"*.bin", L"All Files", L"*.*"}));
}
