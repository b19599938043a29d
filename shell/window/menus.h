#pragma once
// The menu bar (File, Settings, Help) and the Topmost and About commands.
#include <windows.h>

#include <string>

void CreateMainMenu(HWND mainWindow);
void ToggleTopmost(HWND mainWindow);
// Whether Settings > Topmost is on.
bool IsTopmost();
void ShowAbout(HWND mainWindow);
// "VarnockFirmwareUpdate V1.0.0.0\n\n<copyright>"
std::wstring AboutText();
