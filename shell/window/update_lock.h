#pragma once
// Never two updaters on one dock, within the process. One flag says an update
// runs: set on the UI thread before the worker starts, cleared by the
// worker's guard once its outcome box is gone. A second says the updater
// itself is alive: set with the first, cleared as soon as the updater ends,
// so logoff and shutdown are held only while the dock is being written.
// Across processes the dock guard (docks/dock_guard.h) does the same. The
// worker tells the window of the updater's end with WM_APP_FLASH_ENDED.
#include "shell/window/app_messages.h"

// False when an update already runs; otherwise marks one as running.
bool TryBeginUpdate();
void EndUpdate();
bool UpdateRunning();

// The updater of this process's update has not ended yet.
bool FlashRunningHere();
void EndFlashHere();

