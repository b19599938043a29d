#include "shell/ui_text.h"

#include <windows.h>

UiLanguage SelectUiLanguage() { return UiLanguageForLangId(GetUserDefaultUILanguage()); }

const std::vector<std::wstring> g_ColumnTitlesZh{
    TXT_COL_VENDOR.chinese, TXT_COL_PRODUCT.chinese, TXT_COL_SERIAL.chinese, TXT_COL_FWREV.chinese};

const std::vector<std::wstring> g_ColumnTitlesEn{
    TXT_COL_VENDOR.english, TXT_COL_PRODUCT.english, TXT_COL_SERIAL.english, TXT_COL_FWREV.english};

const std::map<std::uint16_t, std::vector<std::wstring>> g_ContextMenuTexts{
    {LANGID_CHINESE_PRC, {TXT_CTX_COPY_INFO.chinese, TXT_CTX_FW_DOWNLOAD.chinese}},
    {LANGID_ENGLISH_US, {TXT_CTX_COPY_INFO.english, TXT_CTX_FW_DOWNLOAD.english}},
};

const std::map<std::int32_t, std::int32_t> g_ColumnWidths{{0, 150}, {1, 200}, {2, 300}, {3, 150}};
