#include "shell/flash_watch.h"

#include "docks/dock_guard.h"

FlashWatch::FlashWatch(HWND window, UINT message) : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!stop_) return;
  thread_ = std::thread([window, message, stop = stop_.Get()] {
    // The first look is always told: a flash that kept the window's first
    // fill from the dock may have ended before it, or have begun just after.
    bool told = false;
    bool flashing = false;
    while (WaitForSingleObject(stop, FLASH_WATCH_INTERVAL_MS) == WAIT_TIMEOUT) {
      const bool now = FlashRunningAnywhere();
      if (told && now == flashing) continue;
      told = true;
      flashing = now;
      PostMessageW(window, message, flashing ? 1 : 0, 0);
    }
  });
}

FlashWatch::~FlashWatch() {
  if (!thread_.joinable()) return;
  SetEvent(stop_.Get());
  thread_.join();
}
