#pragma once
// The firmware-download command of a dock row: the window's flash command.
#include <windows.h>

#include <optional>

#include "docks/portable/dock_info.h"

inline constexpr DWORD FILE_NAME_LENGTH = 260;

// The window's flash command for the selected dock (none: nothing happens),
// with `docksOnBus` docks on the bus. Checks the tool, the number of docks
// and the battery, then a chosen image and the dock guard, then runs the
// update on a worker thread behind the modal wait dialog. Returns when the
// dialog has ended.
void FWDownload(HWND mainWindow, const std::optional<DockInfo>& selectedDock, int docksOnBus);
