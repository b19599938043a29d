#pragma once
// Resource, command and control identifiers, shared by resources/app.rc and
// the code. The resource compiler reads only preprocessor definitions, so
// these stay macros.

// Resources.
#define IDI_APP_ICON 101
#define IDD_WAIT_DIALOG 102
#define IDC_WAIT_TEXT 103  // the wait dialog's text
#define IDR_MAIN_ACCEL 104  // the main window's keyboard shortcuts
#define IDC_WAIT_PROGRESS 105  // the wait dialog's marquee bar
#define IDC_WAIT_ELAPSED 106  // time since the update began
#define IDC_WAIT_OUTPUT 107  // the updater's latest output line
#define IDC_WAIT_WARNING 108  // do not unplug, do not turn off

// Child windows of the main window.
#define IDC_STATUSBAR 1
#define IDC_DEVICELIST 1001  // the same number as IDM_REFRESH; the list speaks only through WM_NOTIFY

// Commands (low word of WM_COMMAND's wParam).
#define IDM_REFRESH 1001
#define IDM_EXIT 1002
#define IDM_TOPMOST 2001
#define IDM_ABOUT 3001
#define IDM_COPY_INFO 4000
#define IDM_FW_DOWNLOAD 4001
#define IDM_SELECT_ALL 4002  // keyboard only
