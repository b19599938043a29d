#include "docks/portable/device_paths.h"

namespace {

std::wstring AsciiUpper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

}  // namespace

bool IsWatchedDevicePath(const std::wstring& path, const std::wstring& id) {
  return AsciiUpper(path).find(AsciiUpper(id)) != std::wstring::npos;
}

std::wstring VolumeMaskText(std::uint32_t unitMask) {
  std::wstring text;
  for (int bit = 0; bit < 26; ++bit) {
    if (unitMask & (1u << bit)) {
      text += static_cast<wchar_t>(L'A' + bit);
      text += L':';
    }
  }
  return text;
}
