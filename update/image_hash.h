#pragma once
// The SHA-256 of a firmware image, through the system's CryptoAPI (advapi32),
// so that a run can pin the image it flashes and the log records which one it was.
#include <cstddef>
#include <optional>
#include <string>

inline constexpr size_t SHA256_HEX_LENGTH = 64;

// Lower-case hex digits of the file's SHA-256; nothing when it cannot be read or hashed.
std::optional<std::wstring> ImageSha256(const std::wstring& path);
