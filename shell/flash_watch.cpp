#include "shell/flash_watch.h"

#include "docks/dock_guard.h"

FlashWatch::FlashWatch(HWND window, UINT message) : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!stop_) return;
  thread_ = std::thread([window, message, stop = stop_.Get()] {
    // The first look is always told: a flash that kept the window's first
    // fill from the dock may have ended before it, or have begun just after.
    bool told = false;
    FlashMarker seen = FlashMarker::Absent;
    while (WaitForSingleObject(stop, FLASH_WATCH_INTERVAL_MS) == WAIT_TIMEOUT) {
      const FlashMarker now = LookAtFlashMarker();
      if (told && now == seen) continue;
      told = true;
      seen = now;
      PostMessageW(window, message, static_cast<WPARAM>(seen), 0);
    }
  });
}

FlashWatch::~FlashWatch() {
  if (!thread_.joinable()) return;
  SetEvent(stop_.Get());
  thread_.join();
}
