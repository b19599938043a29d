#pragma once
#include <string>

#include <windows.h>

// Replaces the clipboard with the text as CF_UNICODETEXT, opened with the
// given owner: after EmptyClipboard, SetClipboardData fails without one. If
// another program holds the clipboard the text is dropped.
void CopyTextToClipboard(HWND owner, const std::wstring& text);
