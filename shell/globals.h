#pragma once
// Process-wide window handles, flags and identifiers shared by the subsystems.
#include <windows.h>
#include <dbt.h>

#include <atomic>

// Menu and command identifiers (low word of WM_COMMAND's wParam).
inline constexpr UINT IDM_REFRESH = 1001;
inline constexpr UINT IDM_EXIT = 1002;
inline constexpr UINT IDM_TOPMOST = 2001;
inline constexpr UINT IDM_ABOUT = 3001;
inline constexpr UINT IDM_COPY_INFO = 4000;
inline constexpr UINT IDM_FW_DOWNLOAD = 4001;

// Child-window and resource identifiers (the numbers also stand in resources/app.rc).
inline constexpr int IDC_STATUSBAR = 1;
inline constexpr int IDC_DEVICELIST = 1001;
inline constexpr int IDI_APP_ICON = 101;
inline constexpr int IDD_WAIT_DIALOG = 102;
inline constexpr int IDC_WAIT_TEXT = 103;

extern HWND g_hListView;
extern HWND g_hStatusBar;
extern HDEVNOTIFY g_hDevNotify;
extern INT32 g_bTopmost;
// Written by the wait dialog on the UI thread, read by the update worker.
extern std::atomic<HWND> g_hWaitDialog;
