#pragma once
// The Copy Info text: for each dock, one "title : value" line per column with
// the Chinese column titles, then an empty line. Lines end in LF alone. Portable.
#include <string>
#include <vector>

#include "docks/portable/dock_info.h"

std::wstring FormatDocksForClipboard(const std::vector<DockInfo>& docks);
