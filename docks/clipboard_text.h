#pragma once
// The Copy Info text: for each row, one "title : value" line per column with
// the Chinese column titles, then an empty line. Lines end in LF alone.
#include <string>
#include <vector>

std::wstring FormatRowsForClipboard(const std::vector<std::vector<std::wstring>>& rows);
