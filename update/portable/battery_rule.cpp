#include "update/portable/battery_rule.h"

BatteryVerdict JudgeBatteryForFlash(const PowerStatus& status) {
  const int percent = status.batteryPercent;
  if (percent > 100) return BatteryVerdict::Unknown;
  const bool unplugged = status.acLine == 0;
  if (percent < BATTERY_MIN_PERCENT) return unplugged ? BatteryVerdict::Unplugged : BatteryVerdict::TooLow;
  if (unplugged && percent < BATTERY_MIN_PERCENT_UNPLUGGED) return BatteryVerdict::Unplugged;
  return BatteryVerdict::Allowed;
}

std::wstring BatteryRefusalText(BatteryVerdict verdict, const PowerStatus& status, UiLanguage language) {
  switch (verdict) {
    case BatteryVerdict::Unplugged: return FillInText(TXT_MSG_BATTERY_UNPLUGGED.In(language), L"{percent}", std::to_wstring(status.batteryPercent));
    case BatteryVerdict::TooLow: return FillInText(TXT_MSG_BATTERY_TOO_LOW.In(language), L"{percent}", std::to_wstring(status.batteryPercent));
    case BatteryVerdict::Allowed:
    case BatteryVerdict::Unknown: break;
  }
  return {};
}

std::string PowerStatusText(const PowerStatus& status) {
  return "AC " + std::to_string(status.acLine) + " battery " + std::to_string(status.batteryPercent) +
         (status.batteryPercent > 100 ? "" : "%");
}
