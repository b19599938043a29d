#pragma once
// Layout of the sample firmware images our build makes for tests and the demo:
//   bytes 0-3   "FWCT"
//   bytes 4-7   the version, shown as bytes 7.6.5.4 (as the dock reports it)
//   bytes 8-15  zero
//   from 16     optional "STANDIN\n" and a script for the stand-in updater, up to a NUL
//   the rest    filler up to the image size
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

inline constexpr size_t IMAGE_SCRIPT_OFFSET = 16;
inline constexpr char IMAGE_SCRIPT_MARK[] = "STANDIN\n";

inline std::string EmbeddedScript(const std::vector<char>& image) {
  const size_t markLength = sizeof(IMAGE_SCRIPT_MARK) - 1;
  if (image.size() < IMAGE_SCRIPT_OFFSET + markLength) return {};
  if (std::memcmp(image.data() + IMAGE_SCRIPT_OFFSET, IMAGE_SCRIPT_MARK, markLength) != 0) return {};
  std::string script;
  for (size_t i = IMAGE_SCRIPT_OFFSET + markLength; i < image.size() && image[i] != '\0'; ++i) script += image[i];
  return script;
}

// The version as shown, first number first; false for a file too short to hold one.
inline bool ImageVersion(const std::vector<char>& image, std::uint8_t (&version)[4]) {
  if (image.size() < 8 || std::memcmp(image.data(), "FWCT", 4) != 0) return false;
  for (int i = 0; i < 4; ++i) version[i] = static_cast<std::uint8_t>(image[7 - i]);
  return true;
}
