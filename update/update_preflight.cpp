#include "update/update_preflight.h"

#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "update/power_status.h"
#include "update/updater_command.h"
#include "update/updater_trust.h"

std::wstring UpdaterToolBesideProgram() {
  std::vector<wchar_t> buffer(MODULE_PATH_LENGTH, L'\0');
  GetModuleFileNameW(nullptr, buffer.data(), MODULE_PATH_LENGTH);
  buffer.back() = L'\0';
  return UpdaterToolPath(buffer.data());
}

bool UpdaterToolPresent(const std::wstring& toolPath) {
  return GetFileAttributesW(toolPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

BatteryCheck CheckBatteryForFlash() {
  BatteryCheck check;
  check.status = ReadPowerStatus();
  check.verdict = JudgeBatteryForFlash(check.status);
  if (BatteryRefuses(check.verdict)) {
    spdlog::error(LOG_BATTERY_REFUSED, PowerStatusText(check.status));
  } else if (check.verdict == BatteryVerdict::Unknown) {
    spdlog::info(LOG_BATTERY_UNKNOWN, PowerStatusText(check.status));
  }
  return check;
}

std::wstring UpdaterChangeableWhenPrivileged(const std::wstring& toolPath) {
  if (!RunsPrivileged()) return {};
  return UpdaterChangeableBy(toolPath);
}

UpdatePreflight PreflightUpdate(const std::wstring& image, const std::wstring& toolPath, bool checkBattery) {
  UpdatePreflight result;
  result.image = CheckFirmwareImage(image);
  if (result.image != FirmwareImageCheck::Accepted) {
    result.refusal = UpdateRefusal::Image;
    return result;
  }
  if (!UpdaterToolPresent(toolPath)) {
    result.refusal = UpdateRefusal::ToolMissing;
    return result;
  }
  result.changeableBy = UpdaterChangeableWhenPrivileged(toolPath);
  if (!result.changeableBy.empty()) {
    result.refusal = UpdateRefusal::UpdaterChangeable;
    return result;
  }
  if (checkBattery) {
    result.battery = CheckBatteryForFlash();
    if (BatteryRefuses(result.battery.verdict)) {
      result.refusal = UpdateRefusal::LowBattery;
      return result;
    }
  }
  auto flash = std::make_unique<FlashGuard>();
  if (!flash->Held()) {
    result.unusableGuard = flash->Unusable();
    result.refusal = result.unusableGuard ? UpdateRefusal::GuardUnusable : UpdateRefusal::UpdateRunning;
    return result;
  }
  result.flash = std::move(flash);
  return result;
}
