#pragma once
// Tells a window when a flash begins or ends anywhere on the machine. A
// thread of its own looks once a second and posts only changes, so the
// window's own message queue carries nothing while nothing happens.
#include <windows.h>

#include <thread>

#include "base/win_handles.h"

inline constexpr DWORD FLASH_WATCH_INTERVAL_MS = 1000;

class FlashWatch {
 public:
  // Posts `message` to `window` when the flash marker's state (FlashMarker as
  // wParam) changes: Present when a flash begins, Absent when it ends.
  FlashWatch(HWND window, UINT message);
  FlashWatch(const FlashWatch&) = delete;
  FlashWatch& operator=(const FlashWatch&) = delete;
  ~FlashWatch();

 private:
  UniqueHandle stop_;
  std::thread thread_;
};
