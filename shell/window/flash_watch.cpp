#include "shell/window/flash_watch.h"

#include "base/portable/exception_text.h"
#include "docks/dock_guard.h"
#include "shell/internal_error.h"
#include "shell/window/update_lock.h"

namespace {

// What one look saw: the count first, then the marker, so that a count that
// moved while no marker is left means a flash that has already ended (the
// flashing copy makes its marker before it counts). This process's own
// flashes are told by its update, not by the watch: only others' count.
struct FlashQuery {
  bool counted = false;
  long othersCount = 0;
  bool flashing = false;
  bool unusable = false;  // the marker's name is held by something else
};

FlashQuery QueryFlashState(const FlashCount& flashes) {
  FlashQuery look;
  long count = 0;
  look.counted = flashes.Read(count);
  look.othersCount = count - FlashesBegunHere();
  const FlashMarker marker = QueryFlashMarker();
  look.flashing = marker == FlashMarker::Present;
  look.unusable = marker == FlashMarker::Unusable;
  return look;
}

bool CountMoved(const FlashQuery& before, const FlashQuery& now) {
  return before.counted && now.counted && now.othersCount > before.othersCount;
}

}  // namespace

FlashWatch::FlashWatch(HWND window, UINT message) : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!stop_) return;
  thread_ = std::thread([window, message, stop = stop_.Get()] {
    try {
      WatchForFlashes(window, message, stop);
    } catch (...) {
      // The updater of a flash under way is let run to its end first.
      const std::string what = CurrentExceptionText();
      while (FlashRunningHere()) Sleep(FLASH_WATCH_INTERVAL_MS);
      EndWithInternalError(what);
    }
  });
}

void FlashWatch::WatchForFlashes(HWND window, UINT message, HANDLE stop) {
  {
    // Held for the window's life, so the count survives between flashes.
    const FlashCount flashes;
    FlashQuery last = QueryFlashState(flashes);
    // The first look is always told: a flash that kept the window's first
    // fill from the dock may have ended before it, or have begun just after.
    bool told = false;
    while (WaitForSingleObject(stop, FLASH_WATCH_INTERVAL_MS) == WAIT_TIMEOUT) {
      const FlashQuery now = QueryFlashState(flashes);
      if (!told) {
        const FlashNotification first = now.unusable            ? FLASH_NOTIFY_GUARD_UNUSABLE
                                : now.flashing          ? FLASH_NOTIFY_BEGAN
                                : CountMoved(last, now) ? FLASH_NOTIFY_BEGAN_AND_ENDED
                                                        : FLASH_NOTIFY_NONE_RUNNING;
        PostMessageW(window, message, first, 0);
        told = true;
      } else if (now.unusable != last.unusable) {
        // Unusable, or usable again: the window reads the dock afresh either way.
        PostMessageW(window, message, now.unusable ? FLASH_NOTIFY_GUARD_UNUSABLE : FLASH_NOTIFY_ENDED, 0);
      } else if (now.flashing && !last.flashing) {
        PostMessageW(window, message, FLASH_NOTIFY_BEGAN, 0);
      } else if (!now.flashing && CountMoved(last, now)) {
        PostMessageW(window, message, FLASH_NOTIFY_BEGAN_AND_ENDED, 0);
      } else if (!now.flashing && last.flashing) {
        PostMessageW(window, message, FLASH_NOTIFY_ENDED, 0);
      }
      last = now;
    }
  }
}

FlashWatch::~FlashWatch() {
  if (!thread_.joinable()) return;
  SetEvent(stop_.Get());
  thread_.join();
}
