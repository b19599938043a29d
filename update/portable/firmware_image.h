#pragma once
// The firmware image check: at least 1024 bytes and the signature "FWCT".
#include <cstdint>
#include <string>

inline constexpr std::int64_t FIRMWARE_MIN_SIZE = 1024;
inline constexpr char FIRMWARE_SIGNATURE[4] = {'F', 'W', 'C', 'T'};

enum class FirmwareImageCheck {
  Accepted,
  CannotOpen,  // silently ignored by the caller
  TooShort,    // shorter than 1024 bytes, or the size is unknown
  BadSignature,
};

// The rule on what was read: the size (-1 if unknown) and the first 8 bytes.
FirmwareImageCheck JudgeFirmwareImage(std::int64_t size, const std::uint8_t (&head)[8]);

// Opens the file by its wide path (others may read and write it meanwhile),
// reads size and head, closes it and judges.
FirmwareImageCheck CheckFirmwareImage(const std::wstring& path);
