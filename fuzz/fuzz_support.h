#pragma once
// What the fuzz targets share: a property check that stops the run with the
// property's name, readers that turn the fuzzer's bytes into the inputs the
// program meets, and strict reference decoders written apart from the
// product's own, so that a property compares two independent readings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// A property that does not hold ends the run as a crash, so libFuzzer keeps
// the input that broke it.
inline void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

inline std::string_view Bytes(const std::uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits at every `separator`; n separators give n + 1 pieces.
inline std::vector<std::string_view> SplitAt(std::string_view bytes, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const size_t at = bytes.find(separator);
    pieces.push_back(bytes.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    bytes.remove_prefix(at + 1);
  }
}

// The first byte is a count n, the next n bytes are block lengths; the rest
// is the text, cut after each length in turn (lengths past its end are cut
// to it, whatever remains is the last block). Returns the blocks, empty ones
// included, which together are the text.
struct CutText {
  std::string_view text;
  std::vector<std::string_view> blocks;
};
inline CutText TakeCuts(std::string_view bytes, unsigned maxCuts = 31) {
  CutText cut;
  if (bytes.empty()) return cut;
  const size_t count = std::min<size_t>(static_cast<std::uint8_t>(bytes[0]) & maxCuts, bytes.size() - 1);
  const std::string_view lengths = bytes.substr(1, count);
  cut.text = bytes.substr(1 + count);
  std::string_view rest = cut.text;
  for (const char length : lengths) {
    const size_t take = std::min<size_t>(static_cast<std::uint8_t>(length), rest.size());
    cut.blocks.push_back(rest.substr(0, take));
    rest.remove_prefix(take);
  }
  cut.blocks.push_back(rest);
  return cut;
}

// UTF-16 units from bytes read as lenient UTF-8: a well-formed sequence
// gives its character (one unit, or a surrogate pair past U+FFFF), a
// three-byte form of a surrogate (ED A0 80) gives that lone surrogate, and
// any other byte gives the unit of its own value. So every unit, lone
// surrogates and control characters included, can be written in a seed.
inline std::wstring Utf16Units(std::string_view bytes) {
  std::wstring units;
  for (size_t at = 0; at < bytes.size();) {
    const auto b0 = static_cast<std::uint8_t>(bytes[at]);
    auto trail = [&](size_t i) {
      return at + i < bytes.size() && (static_cast<std::uint8_t>(bytes[at + i]) & 0xC0) == 0x80
                 ? static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + i]) & 0x3F)
                 : 0x100u;
    };
    std::uint32_t c = 0x110000;
    size_t length = 1;
    if (b0 >= 0xC2 && b0 <= 0xDF && trail(1) < 0x100) {
      c = (b0 & 0x1Fu) << 6 | trail(1), length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF && trail(1) < 0x100 && trail(2) < 0x100) {
      c = (b0 & 0x0Fu) << 12 | trail(1) << 6 | trail(2), length = 3;
      if (c < 0x800) c = 0x110000, length = 1;
    } else if (b0 >= 0xF0 && b0 <= 0xF4 && trail(1) < 0x100 && trail(2) < 0x100 && trail(3) < 0x100) {
      c = (b0 & 0x07u) << 18 | trail(1) << 12 | trail(2) << 6 | trail(3), length = 4;
      if (c < 0x10000 || c > 0x10FFFF) c = 0x110000, length = 1;
    }
    if (c == 0x110000) c = b0;
    if (c >= 0x10000) {
      units += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<wchar_t>(c);
    }
    at += length;
  }
  return units;
}

// Strict UTF-8 to code points, written apart from the product's scanner:
// nothing for any text that is not well-formed UTF-8 (overlong forms,
// surrogates, past U+10FFFF, cut sequences, stray bytes).
inline std::optional<std::vector<std::uint32_t>> DecodeUtf8Strictly(std::string_view text) {
  std::vector<std::uint32_t> points;
  for (size_t at = 0; at < text.size();) {
    const auto b0 = static_cast<std::uint8_t>(text[at]);
    size_t length = 0;
    std::uint32_t c = 0;
    std::uint32_t lowest = 0;
    if (b0 < 0x80) {
      length = 1, c = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      length = 2, c = b0 & 0x1Fu, lowest = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      length = 3, c = b0 & 0x0Fu, lowest = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      length = 4, c = b0 & 0x07u, lowest = 0x10000;
    } else {
      return std::nullopt;
    }
    if (at + length > text.size()) return std::nullopt;
    for (size_t i = 1; i < length; ++i) {
      const auto b = static_cast<std::uint8_t>(text[at + i]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      c = c << 6 | (b & 0x3Fu);
    }
    if (c < lowest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    points.push_back(c);
    at += length;
  }
  return points;
}

inline bool IsUtf8(std::string_view text) { return DecodeUtf8Strictly(text).has_value(); }

// The longest prefix that is well-formed UTF-8, found by trying every
// prefix in turn: slow and plain on purpose.
inline size_t LongestUtf8Prefix(std::string_view text) {
  size_t good = 0;
  for (size_t length = 1; length <= text.size(); ++length) {
    if (IsUtf8(text.substr(0, length))) good = length;
    else if (length - good >= 4) break;  // no character is longer than four bytes
  }
  return good;
}

// UTF-16 units to UTF-8 as a strict converter does it: nothing when a
// surrogate lacks its other half (the Windows conversion would put U+FFFD
// there and lose the unit).
inline std::optional<std::string> Utf16ToUtf8Strictly(const std::wstring& units) {
  std::string out;
  for (size_t at = 0; at < units.size(); ++at) {
    std::uint32_t c = static_cast<std::uint32_t>(units[at]) & 0xFFFF;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (at + 1 >= units.size()) return std::nullopt;
      const std::uint32_t low = static_cast<std::uint32_t>(units[at + 1]) & 0xFFFF;
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++at;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Valid UTF-16: every surrogate in a pair, high before low.
inline bool IsUtf16(const std::wstring& units) { return Utf16ToUtf8Strictly(units).has_value(); }

// Code points of valid UTF-8 as UTF-16 units.
inline std::wstring Utf16FromPoints(const std::vector<std::uint32_t>& points) {
  std::wstring units;
  for (const std::uint32_t c : points) {
    if (c >= 0x10000) {
      units += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<wchar_t>(c);
    }
  }
  return units;
}

// A single-byte ANSI code page for the decoders the product is given: every
// byte one character, as Windows-1252's letters are.
inline size_t Latin1ToUtf8(std::string_view ansi, std::string& utf8) {
  for (const char c : ansi) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | byte >> 6);
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return ansi.size();
}

// A double-byte code page, as the Chinese one is: 0x81 to 0xFE lead a
// character whose trail byte follows; a lead byte at the end is left for the
// next block, as the product's decoder must leave it.
inline size_t DoubleByteToUtf8(std::string_view ansi, std::string& utf8) {
  size_t at = 0;
  std::wstring units;
  while (at < ansi.size()) {
    const auto lead = static_cast<std::uint8_t>(ansi[at]);
    if (lead < 0x81 || lead == 0xFF) {
      units += static_cast<wchar_t>(lead < 0x80 ? lead : 0xFFFD);
      ++at;
      continue;
    }
    if (at + 1 >= ansi.size()) break;
    const auto trail = static_cast<std::uint8_t>(ansi[at + 1]);
    units += static_cast<wchar_t>(0x4E00 + ((lead - 0x81) << 8 | trail) % 0x5000);
    at += 2;
  }
  for (const wchar_t c : units) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xE0 | c >> 12);
      utf8 += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return at;
}

// What the list, the clipboard and the console may show: no character below
// 0x20 but tab, and no 0x7F.
template <typename Text>
bool HoldsNoControlChar(const Text& text) {
  for (const auto c : text) {
    const auto value = static_cast<std::uint32_t>(c) & (sizeof(c) == 1 ? 0xFFu : 0xFFFFFFFFu);
    if ((value < 0x20 && value != '\t') || value == 0x7F) return false;
  }
  return true;
}

// The escaped form each control character must take: "\x" and two upper-case
// hex digits.
template <typename Text>
Text EscapedByModel(const Text& text) {
  Text out;
  for (const auto c : text) {
    const auto value = static_cast<std::uint32_t>(c) & (sizeof(c) == 1 ? 0xFFu : 0xFFFFFFFFu);
    if ((value < 0x20 && value != '\t') || value == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02X", static_cast<unsigned>(value));
      for (const char* p = escape; *p != '\0'; ++p) out += static_cast<typename Text::value_type>(*p);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace fuzz
