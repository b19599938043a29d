#pragma once
// The checks before a flash, in one order for the window and the command
// line alike: the image (copied to a folder of the run's own and judged by
// the bytes copied), the updater beside the program, who may change it (run
// as SYSTEM or elevated), who signed it, the battery, then the dock guard.
// The front ends only present the refusal.
#include <windows.h>

#include <memory>
#include <string>

#include "docks/dock_guard.h"
#include "base/portable/ui_text.h"
#include "update/portable/battery_rule.h"
#include "update/portable/firmware_image.h"
#include "update/image_copy.h"
#include "update/updater_signature.h"
#include "update/updater_trust.h"

inline constexpr DWORD MODULE_PATH_LENGTH = 1024;

// The updater tool's path: the program's own folder and the tool's name.
std::wstring UpdaterToolBesideProgram();
// Whether the updater tool is there to be started.
bool UpdaterToolPresent(const std::wstring& toolPath);

enum class UpdateRefusal {
  None,
  Image,          // see UpdatePreflight::image
  ImageCopyFailed,  // no private copy of the image could be made: see imageCopy
  ToolMissing,    // no updater beside the program
  LowBattery,     // see UpdatePreflight::battery
  UpdaterChangeable,  // privileged, beside an updater others may change: see changeableBy
  UpdaterNotSigned,   // a signer was asked for, and the updater has no valid signature
  SignerMismatch,     // a signer was asked for, and another signed the updater
  UpdateRunning,  // a flash runs somewhere (or its updater is still alive)
  DockBusy,       // another look at the dock held it past the guard's wait
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
  UpdaterSignature signature;
  const wchar_t* unusableGuard = nullptr;  // the guard object's name
  // The image as the updater is given it, with its SHA-256; made once the
  // image could be read.
  std::shared_ptr<ImageCopy> imageCopy;
  // Privileged runs: the updater as checked, held until it has started.
  std::shared_ptr<HeldUpdater> updater;
  // Held when nothing was refused: the flash's guard, to be given to the updater.
  std::unique_ptr<FlashGuard> flash;
};

// Run as SYSTEM or elevated: the account other than the administrators that
// may change the updater or a folder on its path; empty when none may, or
// when the run is a standard user's (it gains nothing).
std::wstring UpdaterChangeableWhenPrivileged(const std::wstring& toolPath);

// The refusal's text for an updater others may change, in `language`.
std::wstring UpdaterChangeableText(UiLanguage language, const std::wstring& toolPath, const std::wstring& account);

struct PreflightOptions {
  bool checkBattery = true;  // false: the window looked before its file dialog; /ignorepower
  std::wstring signer;       // /signer: the SHA-1 thumbprint the updater's signer must have
  DWORD guardWaitMs = DOCK_ACCESS_WAIT_MS;  // 0 on a window's thread
};

UpdatePreflight PreflightUpdate(const std::wstring& image, const std::wstring& toolPath,
                                const PreflightOptions& options);
