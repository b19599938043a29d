#include "update/update_lock.h"

namespace {
std::atomic<bool> g_bUpdateRunning{false};
}

bool TryBeginUpdate() { return !g_bUpdateRunning.exchange(true); }

void EndUpdate() { g_bUpdateRunning.store(false); }

bool UpdateRunning() { return g_bUpdateRunning.load(); }
