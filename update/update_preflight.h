#pragma once
// The checks before a flash, in one order for the window and the command
// line alike: the image, the updater beside the program, who may change it
// (run as SYSTEM or elevated), the battery, then the dock guard. The front
// ends only present the refusal.
#include <windows.h>

#include <memory>
#include <string>

#include "docks/dock_guard.h"
#include "update/battery_rule.h"
#include "update/firmware_image.h"

inline constexpr DWORD MODULE_PATH_LENGTH = 1024;

// The updater tool's path: the program's own folder and the tool's name.
std::wstring UpdaterToolBesideProgram();
// Whether the updater tool is there to be started.
bool UpdaterToolPresent(const std::wstring& toolPath);

enum class UpdateRefusal {
  None,
  Image,          // see UpdatePreflight::image
  ToolMissing,    // no updater beside the program
  LowBattery,     // see UpdatePreflight::battery
  UpdaterChangeable,  // privileged, beside an updater others may change: see changeableBy
  UpdateRunning,  // a flash runs somewhere (or its updater is still alive), or the dock is held
  GuardUnusable,  // a guard object exists but cannot be used: see unusableGuard
};

struct BatteryCheck {
  BatteryVerdict verdict = BatteryVerdict::Allowed;
  PowerStatus status;
};
// Reads the computer's power and judges it by the battery rule; a refusal
// and an unknown charge are logged.
BatteryCheck CheckBatteryForFlash();

struct UpdatePreflight {
  UpdateRefusal refusal = UpdateRefusal::None;
  FirmwareImageCheck image = FirmwareImageCheck::Accepted;
  BatteryCheck battery;
  std::wstring changeableBy;               // the account that may change the updater
  const wchar_t* unusableGuard = nullptr;  // the guard object's name
  // Held when nothing was refused: the flash's guard, to be given to the updater.
  std::unique_ptr<FlashGuard> flash;
};

// Run as SYSTEM or elevated: the account other than the administrators that
// may change the updater or its folder; empty when none may, or when the run
// is a standard user's (it gains nothing).
std::wstring UpdaterChangeableWhenPrivileged(const std::wstring& toolPath);

// `checkBattery` false: the battery is not looked at (the window looked
// before its file dialog; the command line's /ignorepower).
UpdatePreflight PreflightUpdate(const std::wstring& image, const std::wstring& toolPath, bool checkBattery);
