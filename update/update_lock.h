#pragma once
// Never two updaters on one dock. Within the process a flag says an update
// runs; it is set on the UI thread before the worker starts and cleared by
// the worker's guard. Across processes a named mutex does the same.
#include <windows.h>

#include "shell/win_handles.h"

// False when an update already runs; otherwise marks one as running.
bool TryBeginUpdate();
void EndUpdate();
bool UpdateRunning();

// The named mutex, one per session, held while an updater runs, whichever of
// the window or the command line started it. The mutex belongs to the thread
// that took it, so the object lives and dies on one thread.
inline constexpr wchar_t FLASH_LOCK_NAME[] = L"Local\\VarnockFWUpdate.FirmwareUpdate";

class FlashLock {
 public:
  FlashLock();
  FlashLock(const FlashLock&) = delete;
  FlashLock& operator=(const FlashLock&) = delete;
  ~FlashLock();
  // False when another process (or an object we cannot open) holds it.
  bool Held() const { return held_; }

 private:
  UniqueHandle mutex_;
  bool held_ = false;
};
