#pragma once
// The firmware-download command of a dock row.
#include <windows.h>

inline constexpr DWORD MODULE_PATH_LENGTH = 1024;
inline constexpr DWORD FILE_NAME_LENGTH = 260;

// Checks the tool and a chosen image, then runs the update on a worker
// thread behind the modal wait dialog. Returns when the dialog has ended.
void FWDownload(HWND mainWindow);
