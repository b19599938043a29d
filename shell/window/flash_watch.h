#pragma once
// Tells a window when a flash begins or ends anywhere on the machine. A
// thread of its own looks once a second and posts only news, so the
// window's own message queue carries nothing while nothing happens. A flash
// that began and ended between two looks is told too: the flash count
// (docks/dock_guard.h) moved meanwhile.
#include <windows.h>

#include <thread>

#include "base/win_handles.h"

inline constexpr DWORD FLASH_WATCH_INTERVAL_MS = 1000;

// The wParam of the watch's message.
enum FlashNotification : WPARAM {
  FLASH_NOTIFY_NONE_RUNNING = 0,  // the first look: no flash runs
  FLASH_NOTIFY_BEGAN = 1,         // a flash runs (told at the first look too)
  FLASH_NOTIFY_ENDED = 2,         // the flash the last look saw has ended
  FLASH_NOTIFY_BEGAN_AND_ENDED = 3, // another process's flash began and ended since the last look
  FLASH_NOTIFY_GUARD_UNUSABLE = 4,// the flash marker's name is held by an object that cannot be used
};

class FlashWatch {
 public:
  // Posts `message` to `window` with a FlashNotification in wParam.
  FlashWatch(HWND window, UINT message);
  FlashWatch(const FlashWatch&) = delete;
  FlashWatch& operator=(const FlashWatch&) = delete;
  ~FlashWatch();

 private:
  static void WatchForFlashes(HWND window, UINT message, HANDLE stop);

  UniqueHandle stop_;
  std::thread thread_;
};
