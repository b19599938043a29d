#include "docks/ascii_text.h"

#ifdef _WIN32
#include <windows.h>

std::wstring AsciiToWide(const char* text) {
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (needed <= 1) return {};
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), needed);
  wide.resize(static_cast<size_t>(needed) - 1);  // drop the terminator
  return wide;
}
#else
std::wstring AsciiToWide(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    wide.push_back(byte < 0x80 ? static_cast<wchar_t>(byte) : L'\xFFFD');
  }
  return wide;
}
#endif
