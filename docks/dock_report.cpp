#include "docks/dock_report.h"

#include <cwchar>

#include "docks/dock_info.h"

std::wstring JsonString(const std::wstring& text) {
  std::wstring out = L"\"";
  for (const wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += L'\\';
      out += c;
    } else if (c < 0x20) {
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
    text += std::wstring(column.title.english) + L": " + dock.*column.field + L"\r\n";
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
