// The dock's strings wherever they are shown: any bytes in the manufacturer,
// product and serial strings reach the list's cells, the Copy Info text, the
// console lines and the log with every control character (below 0x20 but
// tab, and 0x7F) escaped as "\x" and two hex digits, and nothing else
// changed. The input: the three
// strings separated by 0xFF bytes; the log sees their bytes, the DockInfo
// their fuzz::Utf16Units.
#include <algorithm>

#include "base/portable/text_conversion.h"
#include "docks/portable/clipboard_text.h"
#include "docks/portable/dock_info.h"
#include "docks/portable/dock_report.h"
#include "fuzz/fuzz_support.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::vector<std::string_view> strings = fuzz::SplitAt(fuzz::Bytes(data, size), '\xFF');
  strings.resize(3);

  DockInfo dock;
  std::wstring DockInfo::*const fields[] = {&DockInfo::Vendor, &DockInfo::Product, &DockInfo::SerialNumber};
  for (size_t i = 0; i < 3; ++i) {
    // The log line: the bytes as the dock sent them, escaped.
    const std::string logged = EscapeControlChars(strings[i]);
    Require(fuzz::HoldsNoControlChar(logged), "no control character reaches a log line");
    Require(logged == fuzz::EscapedByModel(std::string(strings[i])), "the log escapes control characters only");

    dock.*fields[i] = fuzz::Utf16Units(strings[i]);
    // The list's cell shows exactly this text.
    const std::wstring cell = EscapeControlChars(dock.*fields[i]);
    Require(fuzz::HoldsNoControlChar(cell), "no control character reaches a list cell");
    Require(cell == fuzz::EscapedByModel(dock.*fields[i]), "a cell escapes control characters only");
  }
  dock.FwRev = L"1.2.3.4";

  // The console lines: four lines, each "Title: " and the escaped text.
  const std::wstring report = FormatDockReport(dock);
  std::wstring expected;
  for (const DockColumn& column : DOCK_COLUMNS) {
    expected += std::wstring(column.title.english) + L": " + fuzz::EscapedByModel(dock.*column.field) + L"\r\n";
  }
  Require(report == expected, "the console shows each text escaped on its own line");
  std::wstring withoutLineEnds;
  for (size_t at = 0; at < report.size(); ++at) {
    if (report.compare(at, 2, L"\r\n") == 0) {
      ++at;
      continue;
    }
    withoutLineEnds += report[at];
  }
  Require(fuzz::HoldsNoControlChar(withoutLineEnds), "no control character reaches a console line");

  // The Copy Info text for two docks: "title : text" lines ending in LF.
  const std::wstring clipboard = FormatDocksForClipboard({dock, dock});
  std::wstring one;
  for (const DockColumn& column : DOCK_COLUMNS) {
    one += std::wstring(column.title.chinese) + L" : " + fuzz::EscapedByModel(dock.*column.field) + L"\n";
  }
  Require(clipboard == one + L"\n" + one + L"\n", "the clipboard shows each text escaped on its own line");
  std::wstring clipboardText = clipboard;
  clipboardText.erase(std::remove(clipboardText.begin(), clipboardText.end(), L'\n'), clipboardText.end());
  Require(fuzz::HoldsNoControlChar(clipboardText), "no control character reaches the clipboard text");
  return 0;
}
