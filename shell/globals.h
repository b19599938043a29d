#pragma once
// Process-wide window handles, flags and identifiers shared by the subsystems.
#include <windows.h>
#include <dbt.h>

#include <atomic>

#include "resources/resource.h"

extern HWND g_hListView;
extern HWND g_hStatusBar;
extern HDEVNOTIFY g_hDevNotify;
extern INT32 g_bTopmost;
// Written by the wait dialog on the UI thread, read by the update worker.
extern std::atomic<HWND> g_hWaitDialog;
