#include "shell/globals.h"

HWND g_hListView = nullptr;
HWND g_hStatusBar = nullptr;
HDEVNOTIFY g_hDevNotify = nullptr;
INT32 g_bTopmost = 0;
std::atomic<HWND> g_hWaitDialog{nullptr};
