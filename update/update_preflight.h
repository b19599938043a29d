#pragma once
// The checks before a flash, in one order for the window and the command
// line alike: the image, the updater beside the program, then the dock guard.
// The front ends only present the refusal.
#include <windows.h>

#include <memory>
#include <string>

#include "docks/dock_guard.h"
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
  UpdateRunning,  // a flash runs somewhere (or its updater is still alive), or the dock is held
};

struct UpdatePreflight {
  UpdateRefusal refusal = UpdateRefusal::None;
  FirmwareImageCheck image = FirmwareImageCheck::Accepted;
  // Held when nothing was refused: the flash's guard, to be given to the updater.
  std::unique_ptr<FlashGuard> flash;
};

UpdatePreflight PreflightUpdate(const std::wstring& image, const std::wstring& toolPath);
