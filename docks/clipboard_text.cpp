#include "docks/clipboard_text.h"

#include "shell/ui_text.h"

std::wstring FormatRowsForClipboard(const std::vector<std::vector<std::wstring>>& rows) {
  std::wstring text;
  for (const auto& cells : rows) {
    for (size_t i = 0; i < g_ColumnTitlesZh.size(); ++i) {
      text += g_ColumnTitlesZh[i];
      text += L" : ";
      if (i < cells.size()) text += cells[i];
      text += L'\n';
    }
    text += L'\n';
  }
  return text;
}
