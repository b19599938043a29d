#include "update/portable/system_power_status.h"

PowerStatus PowerStatusFromSystem(std::uint8_t acLineStatus, std::uint8_t batteryFlag,
                                  std::uint8_t batteryLifePercent) {
  PowerStatus status;
  status.acLine = acLineStatus;
  const bool noBattery =
      batteryFlag == SYSTEM_BATTERY_FLAG_UNKNOWN || (batteryFlag & SYSTEM_BATTERY_FLAG_NO_BATTERY) != 0;
  status.batteryPercent = noBattery ? POWER_STATUS_UNKNOWN : batteryLifePercent;
  return status;
}
