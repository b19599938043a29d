// Linked into the program and its console twin only: the simulated builds
// take the simulated dock's ReadPowerStatus instead.
#include "update/power_status.h"

#include <windows.h>

#include "update/portable/system_power_status.h"

// The portable mapping names Windows' own flag values.
static_assert(SYSTEM_BATTERY_FLAG_HIGH == BATTERY_FLAG_HIGH && SYSTEM_BATTERY_FLAG_LOW == BATTERY_FLAG_LOW &&
              SYSTEM_BATTERY_FLAG_CRITICAL == BATTERY_FLAG_CRITICAL &&
              SYSTEM_BATTERY_FLAG_CHARGING == BATTERY_FLAG_CHARGING &&
              SYSTEM_BATTERY_FLAG_NO_BATTERY == BATTERY_FLAG_NO_BATTERY &&
              SYSTEM_BATTERY_FLAG_UNKNOWN == BATTERY_FLAG_UNKNOWN);

PowerStatus ReadPowerStatus() {
  SYSTEM_POWER_STATUS system{};
  if (!GetSystemPowerStatus(&system)) return PowerStatus{};
  return PowerStatusFromSystem(system.ACLineStatus, system.BatteryFlag, system.BatteryLifePercent);
}
