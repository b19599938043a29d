// /expect's version compare: over any texts, "the same version" holds only
// between two versions (four numbers from 0 to 255 of at most three digits,
// joined by dots) that name the same four numbers; so it is symmetric,
// transitive, reflexive on versions, and two texts it calls the same can
// differ only in leading zeros. The input: up to three texts, one per line.
#include <array>

#include "fuzz/fuzz_support.h"
#include "shell/command_line/portable/command_line_parse.h"

namespace {

using fuzz::Require;

// The four numbers, read apart from the product's reader.
std::optional<std::array<int, 4>> VersionNumbers(const std::wstring& text) {
  std::array<int, 4> numbers{};
  std::wstring part;
  size_t index = 0;
  for (size_t at = 0; at <= text.size(); ++at) {
    if (at < text.size() && text[at] != L'.') {
      part += text[at];
      continue;
    }
    if (index >= 4 || part.empty() || part.size() > 3) return std::nullopt;
    int value = 0;
    for (const wchar_t c : part) {
      if (c < L'0' || c > L'9') return std::nullopt;
      value = value * 10 + (c - L'0');
    }
    if (value > 255) return std::nullopt;
    numbers[index++] = value;
    part.clear();
  }
  if (index != 4) return std::nullopt;
  return numbers;
}

std::wstring WithoutLeadingZeros(const std::array<int, 4>& numbers) {
  return std::to_wstring(numbers[0]) + L"." + std::to_wstring(numbers[1]) + L"." + std::to_wstring(numbers[2]) + L"." +
         std::to_wstring(numbers[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::vector<std::wstring> texts;
  for (const std::string_view piece : fuzz::SplitAt(fuzz::Bytes(data, size), '\n')) {
    std::wstring text;
    for (const char c : piece) text += static_cast<wchar_t>(static_cast<std::uint8_t>(c));
    texts.push_back(text);
  }
  texts.resize(3);

  for (const std::wstring& a : texts) {
    const auto numbers = VersionNumbers(a);
    const auto parsed = ParseFirmwareVersion(a);
    Require(parsed.has_value() == numbers.has_value(), "a version is four numbers from 0 to 255");
    Require(!parsed || *parsed == *numbers, "a version's numbers are read as written");
    Require(SameFirmwareVersion(a, a) == numbers.has_value(), "a version is the same as itself, other text never");
    if (numbers) Require(SameFirmwareVersion(a, WithoutLeadingZeros(*numbers)), "leading zeros do not count");
    for (const std::wstring& b : texts) {
      const bool same = SameFirmwareVersion(a, b);
      Require(same == SameFirmwareVersion(b, a), "the compare is symmetric");
      const auto other = VersionNumbers(b);
      Require(same == (numbers && other && *numbers == *other), "the same version names the same four numbers");
      for (const std::wstring& c : texts) {
        Require(!(same && SameFirmwareVersion(b, c)) || SameFirmwareVersion(a, c), "the compare is transitive");
      }
    }
  }
  return 0;
}
