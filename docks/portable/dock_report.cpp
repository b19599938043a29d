#include "docks/portable/dock_report.h"

#include <cwchar>

#include "base/portable/text_conversion.h"
#include "docks/portable/dock_info.h"

namespace {

constexpr bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::wstring JsonString(const std::wstring& text) {
  std::wstring out = L"\"";
  for (size_t at = 0; at < text.size(); ++at) {
    const wchar_t c = text[at];
    if (c == L'"' || c == L'\\') {
      out += L'\\';
      out += c;
    } else if (IsHighSurrogate(c) && at + 1 < text.size() && IsLowSurrogate(text[at + 1])) {
      out += c;
      out += text[++at];
    } else if (c < 0x20 || IsHighSurrogate(c) || IsLowSurrogate(c)) {
      // A surrogate without its other half has no UTF-8 form: the conversion
      // of the output would replace it, so it is written as its escape.
      wchar_t escaped[8] = {};
      std::swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + L"\"";
}

std::wstring FormatDockReport(const DockInfo& dock) {
  std::wstring text;
  for (const DockColumn& column : DOCK_COLUMNS) {
    text += std::wstring(column.title.english) + L": " + EscapeControlChars(dock.*column.field) + L"\r\n";
  }
  return text;
}

std::wstring FormatDockJson(const DockInfo& dock, int dockCount) {
  std::wstring text = L"{";
  for (const DockColumn& column : DOCK_COLUMNS) {
    if (text.size() > 1) text += L",";
    text += JsonString(column.title.english) + L":" + JsonString(dock.*column.field);
  }
  return text + L"," + JsonString(L"DockCount") + L":" + std::to_wstring(dockCount) + L"}\r\n";
}
