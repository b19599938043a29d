#pragma once
// Never two updaters on one dock. Within the process a flag says an update
// runs; it is set on the UI thread before the worker starts and cleared by
// the worker's guard.
#include <atomic>

// False when an update already runs; otherwise marks one as running.
bool TryBeginUpdate();
void EndUpdate();
bool UpdateRunning();
