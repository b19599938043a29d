#include "update/update_lock.h"

#include <atomic>

namespace {
std::atomic<bool> g_bUpdateRunning{false};
}

bool TryBeginUpdate() { return !g_bUpdateRunning.exchange(true); }

void EndUpdate() { g_bUpdateRunning.store(false); }

bool UpdateRunning() { return g_bUpdateRunning.load(); }

FlashLock::FlashLock() : mutex_(CreateMutexW(nullptr, FALSE, FLASH_LOCK_NAME)) {
  if (!mutex_) return;  // e.g. made by another user's elevated copy: count it as held
  const DWORD result = WaitForSingleObject(mutex_.Get(), 0);
  // Abandoned: its owner died mid-run; the mutex is ours now.
  held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

FlashLock::~FlashLock() {
  if (held_) ReleaseMutex(mutex_.Get());
}
