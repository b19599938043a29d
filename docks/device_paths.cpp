#include "docks/device_paths.h"

bool IsWatchedDevicePath(const std::wstring& path, const std::wstring& id) {
  return path.find(id) != std::wstring::npos;
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
