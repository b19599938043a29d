#include "shell/window/update_lock.h"

#include <atomic>

namespace {
std::atomic<bool> g_bUpdateRunning{false};
std::atomic<bool> g_bFlashRunning{false};
}  // namespace

bool TryBeginUpdate() {
  if (g_bUpdateRunning.exchange(true)) return false;
  g_bFlashRunning.store(true);
  return true;
}

void EndUpdate() {
  g_bFlashRunning.store(false);
  g_bUpdateRunning.store(false);
}

bool UpdateRunning() { return g_bUpdateRunning.load(); }

bool FlashRunningHere() { return g_bFlashRunning.load(); }

void EndFlashHere() { g_bFlashRunning.store(false); }
