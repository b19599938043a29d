#include "base/portable/ui_text.h"

#include <cwchar>

#ifdef _WIN32
#include <windows.h>

UiLanguage SelectUiLanguage() { return UiLanguageForLangId(GetUserDefaultUILanguage()); }
#endif

const std::map<std::uint16_t, std::vector<std::wstring>> g_ContextMenuTexts{
    {LANGID_CHINESE_PRC, {TXT_CTX_COPY_INFO.chinese, TXT_CTX_FW_DOWNLOAD.chinese}},
    {LANGID_ENGLISH_US, {TXT_CTX_COPY_INFO.english, TXT_CTX_FW_DOWNLOAD.english}},
};


std::wstring UpdateOkText(const std::wstring& before, const std::wstring& after) {
  return std::wstring(TXT_MSG_UPDATE_OK) + L"\n\n" + before + L" \u2192 " + after;
}
std::wstring FillInText(std::wstring text, const std::wstring& field, const std::wstring& value) {
  for (size_t at = text.find(field); at != std::wstring::npos; at = text.find(field, at + value.size())) {
    text.replace(at, field.size(), value);
  }
  return text;
}
