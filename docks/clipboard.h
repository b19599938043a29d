#pragma once
#include <string>

// Replaces the clipboard with the text as CF_UNICODETEXT. If another program
// holds the clipboard the text is dropped.
void CopyTextToClipboard(const std::wstring& text);
