// Linked into the program and its console twin only: the simulated builds
// take the simulated dock's ReadPowerStatus instead.
#include "update/power_status.h"

#include <windows.h>

PowerStatus ReadPowerStatus() {
  PowerStatus status;
  SYSTEM_POWER_STATUS system{};
  if (!GetSystemPowerStatus(&system)) return status;
  status.acLine = system.ACLineStatus;
  // A computer without a battery may still report a percentage: it means nothing.
  const bool noBattery = system.BatteryFlag == BATTERY_FLAG_UNKNOWN || (system.BatteryFlag & BATTERY_FLAG_NO_BATTERY) != 0;
  status.batteryPercent = noBattery ? POWER_STATUS_UNKNOWN : system.BatteryLifePercent;
  return status;
}
