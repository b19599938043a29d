#pragma once
// The window front end's own messages: one range, from WM_APP.
#include <windows.h>

enum AppMessage : UINT {
  // Posted to the main window by the update worker when the updater has
  // ended: the window, on its own thread, lifts the shutdown hold.
  WM_APP_FLASH_ENDED = WM_APP + 1,
  // Posted by the flash watch: wParam is a FlashNotification (shell/window/flash_watch.h).
  WM_APP_FLASH_STATE = WM_APP + 2,
  // Posted to the wait box by the worker: lParam owns the updater's latest line.
  WM_APP_WAIT_LINE = WM_APP + 3,
};
