#pragma once
// Texts of the hot-plug handler that need no window: which device paths are
// watched, and drive letters of a volume mask. Portable.
#include <cstdint>
#include <string>

// The dock's own paths hold DockDevicePathId() (docks/portable/dock_identity.h); a
// second device, the dock's hub, is watched for arrivals too.
inline constexpr wchar_t WATCHED_SECOND_ID[] = L"VID_2109&PID_8822";

// Substring test over UTF-16 units, whatever the letter case of the ASCII
// letters: Windows treats device paths case-insensitively.
bool IsWatchedDevicePath(const std::wstring& path, const std::wstring& id);

// "E:" for bit 4, "E:F:" for bits 4 and 5; bits 26 to 31 are ignored.
std::wstring VolumeMaskText(std::uint32_t unitMask);
