#pragma once
// The dock's texts as the command line prints them, under the columns'
// English titles (docks/portable/dock_info.h). Portable.
#include <string>

struct DockInfo;

// "Vendor: …", "Product: …", "SerialNumber: …", "FwRev: …", each ending in CRLF.
std::wstring FormatDockReport(const DockInfo& dock);
// One JSON object with the same four keys and "DockCount", the number of
// docks on the bus, ending in CRLF.
std::wstring FormatDockJson(const DockInfo& dock, int dockCount);
// A text as a JSON string, quotes included.
std::wstring JsonString(const std::wstring& text);
