#include "base/ui_text.h"

#include <cwchar>

#ifdef _WIN32
#include <windows.h>

UiLanguage SelectUiLanguage() { return UiLanguageForLangId(GetUserDefaultUILanguage()); }
#endif

const std::map<std::uint16_t, std::vector<std::wstring>> g_ContextMenuTexts{
    {LANGID_CHINESE_PRC, {TXT_CTX_COPY_INFO.chinese, TXT_CTX_FW_DOWNLOAD.chinese}},
    {LANGID_ENGLISH_US, {TXT_CTX_COPY_INFO.english, TXT_CTX_FW_DOWNLOAD.english}},
};


std::wstring FormatUiText(const wchar_t* format, int number) {
  wchar_t text[512] = {};
  std::swprintf(text, 512, format, number);
  return text;
}
