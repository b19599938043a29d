#pragma once
// The MainWindow: its window procedure, layout and the one refresh path.
#include <windows.h>

inline constexpr int LIST_MARGIN = 15;
inline constexpr int STATUS_BAR_ROOM = 20;
inline constexpr int MIN_TRACK_WIDTH = 850;
inline constexpr int MIN_TRACK_HEIGHT = 500;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Empties the device list and fills it again from the dock (UI thread).
void RefreshDeviceList();
