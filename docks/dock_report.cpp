#include "docks/dock_report.h"

#include <cwchar>

#include "docks/dock_info.h"
#include "shell/ui_text.h"

namespace {

// The dock's fields in column order.
std::wstring FieldOf(const DockInfo& dock, size_t column) {
  switch (column) {
    case 0: return dock.Vendor;
    case 1: return dock.Product;
    case 2: return dock.SerialNumber;
    default: return dock.FwRev;
  }
}

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

}  // namespace

std::wstring FormatDockReport(const DockInfo& dock) {
  std::wstring text;
  for (size_t column = 0; column < g_ColumnTitlesEn.size(); ++column) {
    text += g_ColumnTitlesEn[column] + L": " + FieldOf(dock, column) + L"\r\n";
  }
  return text;
}

std::wstring FormatDockJson(const DockInfo& dock) {
  std::wstring text = L"{";
  for (size_t column = 0; column < g_ColumnTitlesEn.size(); ++column) {
    if (column > 0) text += L",";
    text += JsonString(g_ColumnTitlesEn[column]) + L":" + JsonString(FieldOf(dock, column));
  }
  return text + L"}\r\n";
}
