#pragma once
// The MainWindow: its window procedure, layout and the one refresh path.
#include <windows.h>

#include "shell/window/app_messages.h"

#include "shell/window/device_list.h"

inline constexpr int STATUS_BAR_ROOM = 20;
inline constexpr int MIN_TRACK_WIDTH = 850;
inline constexpr int MIN_TRACK_HEIGHT = 500;

// Hot-plug records of one plug-in come in bursts (several interfaces,
// arrival and removal): the dock is read once, this long after the last.
inline constexpr UINT HOTPLUG_QUIET_MS = 300;
// A dock another look holds is tried again after this, then after twice as
// long each time it is still held, up to the longest.
inline constexpr UINT BUSY_RETRY_MS = 1000;
inline constexpr UINT BUSY_RETRY_LONGEST_MS = 30000;
inline constexpr UINT_PTR IDT_HOTPLUG_REFRESH = 1;
inline constexpr UINT_PTR IDT_BUSY_RETRY = 2;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows in the status bar why the list holds no dock read this time, and
// watches for the end of another copy's flash to read it again.
void ShowDockListState(HWND mainWindow, DockListFill fill);

// Empties the device list and fills it again from the dock (UI thread).
void RefreshDeviceList();
