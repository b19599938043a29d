#pragma once
// Where a path really leads: a run that must not follow links compares the
// final path of what it opened with the path it meant.
#include <windows.h>

#include <string>

// The full path with long names, without a "\\?\" prefix or a trailing
// separator: what the final path of the same file reads.
std::wstring NormalizedPath(const std::wstring& path);
// The final path of an open file or folder in the same form; empty when the
// system cannot tell.
std::wstring FinalPath(HANDLE handle);
// Paths compared as Windows compares file names (ordinal, case-insensitive).
bool SamePath(const std::wstring& a, const std::wstring& b);
