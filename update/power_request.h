#pragma once
// Keeps the computer awake while the updater flashes: the hidden updater's
// USB traffic does not reset the idle timer, and a sleep would suspend the
// bus mid-flash. Held on the thread that waits for the updater.
#include <windows.h>

#include "base/win_handles.h"

// A power request for as long as the object lives: PowerCreateRequest with
// the shutdown reason's text (powercfg /requests shows it) and
// PowerRequestSystemRequired; where that cannot be had,
// SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) on this thread.
// Cleared when it goes out of scope, whatever the flash's outcome. A process
// that is killed loses its request with it.
class FlashPowerRequest {
 public:
  FlashPowerRequest();
  FlashPowerRequest(const FlashPowerRequest&) = delete;
  FlashPowerRequest& operator=(const FlashPowerRequest&) = delete;
  ~FlashPowerRequest();

 private:
  enum class Held { Nothing, PowerRequest, ExecutionState };
  UniqueHandle request_;
  Held held_ = Held::Nothing;
};
