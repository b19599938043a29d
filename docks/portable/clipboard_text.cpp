#include "docks/portable/clipboard_text.h"

#include "base/portable/text_conversion.h"

std::wstring FormatDocksForClipboard(const std::vector<DockInfo>& docks) {
  std::wstring text;
  for (const DockInfo& dock : docks) {
    for (const DockColumn& column : DOCK_COLUMNS) {
      text += column.title.chinese;
      text += L" : ";
      text += EscapeControlChars(dock.*column.field);
      text += L'\n';
    }
    text += L'\n';
  }
  return text;
}
