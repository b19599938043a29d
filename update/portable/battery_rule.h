#pragma once
// Whether the computer's power allows a flash: a dock that is flashed often
// stops feeding the laptop while it restarts, so a laptop that dies mid-flash
// takes the dock with it. Portable: the rule and its texts, no system call.
#include <cstdint>
#include <string>

#include "base/portable/ui_text.h"

// GetSystemPowerStatus's "unknown" for the AC line and for the charge.
inline constexpr std::uint8_t POWER_STATUS_UNKNOWN = 255;
// Below this charge no flash starts, not even on the adapter.
inline constexpr int BATTERY_MIN_PERCENT = 10;
// Below this charge no flash starts on battery power.
inline constexpr int BATTERY_MIN_PERCENT_UNPLUGGED = 25;

// The two fields of SYSTEM_POWER_STATUS the rule reads.
struct PowerStatus {
  std::uint8_t acLine = POWER_STATUS_UNKNOWN;          // 0 offline, 1 online, 255 unknown
  std::uint8_t batteryPercent = POWER_STATUS_UNKNOWN;  // 0 to 100; 255 unknown or no system battery
};

enum class BatteryVerdict {
  Allowed,
  Unknown,    // the charge is not known (a desktop): the flash goes on
  Unplugged,  // on battery power with too little charge
  TooLow,     // too little charge even on the adapter
};

BatteryVerdict JudgeBatteryForFlash(const PowerStatus& status);
inline bool BatteryRefuses(BatteryVerdict verdict) {
  return verdict == BatteryVerdict::Unplugged || verdict == BatteryVerdict::TooLow;
}
// What the user is told for a refusing verdict (empty for the others).
std::wstring BatteryRefusalText(BatteryVerdict verdict, const PowerStatus& status, UiLanguage language);
// "AC 0 battery 18%" for the log.
std::string PowerStatusText(const PowerStatus& status);
