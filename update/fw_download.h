#pragma once
// The firmware-download command of a dock row.
#include <windows.h>

#include <string>

inline constexpr DWORD MODULE_PATH_LENGTH = 1024;
inline constexpr DWORD FILE_NAME_LENGTH = 260;

// The updater tool's path: the program's own folder and the tool's name.
std::wstring UpdaterToolBesideProgram();

// Checks the tool and a chosen image, then runs the update on a worker
// thread behind the modal wait dialog. Returns when the dialog has ended.
void FWDownload(HWND mainWindow);
