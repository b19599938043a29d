#pragma once
// What the program knows of a dock, and the one table of how each of its
// texts is shown: the list's column (title and width), the Copy Info line
// (Chinese title), the console line and the JSON key (English title).
// Portable.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/portable/ui_text.h"

// The texts shown for one dock, in column order.
struct DockInfo {
  std::wstring Vendor;
  std::wstring Product;
  std::wstring SerialNumber;
  std::wstring FwRev;  // empty when the firmware-version request fails or its reply is short
};

// The firmware-version reply holds the version in bytes 4 to 7.
inline constexpr int DOCK_FW_REPLY_MIN_LENGTH = 8;

// FwRev from the reply's first `received` bytes (negative: the request
// failed): bytes 7, 6, 5, 4 as "a.b.c.d", each byte unsigned in decimal;
// empty for a reply shorter than DOCK_FW_REPLY_MIN_LENGTH. Reads no byte
// past `received`.
std::wstring FwRevFromReply(const std::uint8_t* reply, int received);

struct DockColumn {
  UiText title;
  std::int32_t width;  // in the list, pixels
  std::wstring DockInfo::*field;
};

inline const DockColumn DOCK_COLUMNS[] = {
    {TXT_COL_VENDOR, 150, &DockInfo::Vendor},
    {TXT_COL_PRODUCT, 200, &DockInfo::Product},
    {TXT_COL_SERIAL, 300, &DockInfo::SerialNumber},
    {TXT_COL_FWREV, 150, &DockInfo::FwRev},
};

// Constant tables from the columns, built by static initialisation before
// the entry point runs.
extern const std::vector<std::wstring> g_ColumnTitlesZh;
extern const std::vector<std::wstring> g_ColumnTitlesEn;
extern const std::map<std::int32_t, std::int32_t> g_ColumnWidths;
