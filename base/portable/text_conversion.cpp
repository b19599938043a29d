#include "base/portable/text_conversion.h"

#include <cstdint>
#include <type_traits>

namespace {

constexpr bool IsControlChar(std::uint32_t c, LineEnds lineEnds) {
  if (lineEnds == LineEnds::Kept && (c == '\r' || c == '\n')) return false;
  return (c < 0x20 && c != '\t') || c == 0x7F;
}

template <typename Text, typename Char>
Text Escaped(const Char* text, size_t length, LineEnds lineEnds) {
  constexpr char HEX[] = "0123456789ABCDEF";
  Text out;
  out.reserve(length);
  for (size_t at = 0; at < length; ++at) {
    const auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(text[at]));
    if (!IsControlChar(c, lineEnds)) {
      out += text[at];
      continue;
    }
    out += Char('\\');
    out += Char('x');
    out += Char(HEX[c >> 4]);
    out += Char(HEX[c & 0xF]);
  }
  return out;
}

}  // namespace

std::wstring EscapeControlChars(const std::wstring& text) {
  return Escaped<std::wstring>(text.data(), text.size(), LineEnds::Escaped);
}

std::string EscapeControlChars(std::string_view text, LineEnds lineEnds) {
  return Escaped<std::string>(text.data(), text.size(), lineEnds);
}

#ifdef _WIN32
#include <windows.h>

std::string WideToUtf8(std::wstring text) {
  const int length = static_cast<int>(text.size());
  if (length == 0) return {};
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string result(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
  return result;
}

std::wstring Utf8ToWide(const std::string& text) {
  const int length = static_cast<int>(text.size());
  if (length == 0) return {};
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
  return wide;
}

std::wstring AsciiToWide(const char* text) { return Utf8ToWide(text); }

size_t AnsiToUtf8(std::string_view ansi, std::string& utf8) {
  size_t whole = 0;
  while (whole < ansi.size()) {
    const size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[whole])) ? 2 : 1;
    if (whole + step > ansi.size()) break;
    whole += step;
  }
  const int length = static_cast<int>(whole);
  if (length == 0) return 0;
  const int needed = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
  if (needed <= 0) return whole;
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), needed);
  utf8 += WideToUtf8(wide);
  return whole;
}
#else
// The native build's dock query: bytes past ASCII cannot come from
// libusb_get_string_descriptor_ascii, and are shown as replacement characters.
std::wstring AsciiToWide(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    wide.push_back(byte < 0x80 ? static_cast<wchar_t>(byte) : L'\xFFFD');
  }
  return wide;
}
#endif
