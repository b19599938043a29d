#pragma once
// The fields of SYSTEM_POWER_STATUS, as GetSystemPowerStatus fills them,
// mapped to what the battery rule reads. Portable: the fields come in as
// numbers, so the mapping builds and is tested without Windows.
#include <cstdint>

#include "update/portable/battery_rule.h"

// SYSTEM_POWER_STATUS::BatteryFlag bits, as Windows defines them.
inline constexpr std::uint8_t SYSTEM_BATTERY_FLAG_HIGH = 1;
inline constexpr std::uint8_t SYSTEM_BATTERY_FLAG_LOW = 2;
inline constexpr std::uint8_t SYSTEM_BATTERY_FLAG_CRITICAL = 4;
inline constexpr std::uint8_t SYSTEM_BATTERY_FLAG_CHARGING = 8;
inline constexpr std::uint8_t SYSTEM_BATTERY_FLAG_NO_BATTERY = 128;
inline constexpr std::uint8_t SYSTEM_BATTERY_FLAG_UNKNOWN = 255;

// The AC line as reported; the charge only where a battery is there to have
// one: without a battery (or when the flag is unknown) a reported percentage
// means nothing and the charge is unknown.
PowerStatus PowerStatusFromSystem(std::uint8_t acLineStatus, std::uint8_t batteryFlag,
                                  std::uint8_t batteryLifePercent);
