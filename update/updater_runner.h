#pragma once
// Runs the updater tool on the update worker thread and reports the outcome.
#include <windows.h>

#include <memory>
#include <string>

class FlashGuard;

// Closes the wait dialog, enables the main window again and ends the update
// state when it goes out of scope, whichever way the worker leaves.
class WaitDialogGuard {
 public:
  explicit WaitDialogGuard(HWND mainWindow) : mainWindow_(mainWindow) {}
  WaitDialogGuard(const WaitDialogGuard&) = delete;
  WaitDialogGuard& operator=(const WaitDialogGuard&) = delete;
  ~WaitDialogGuard();

 private:
  HWND mainWindow_;
};

// The worker's body: runs the tool hidden, logs its output, ends the flash
// (the dock guard `flash`, the shutdown hold) as soon as the tool has ended,
// then, when the tool reported success, waits for the dock to show a version
// other than `oldVersion` (the wait box stays up), asks the main window to
// refresh, and shows the outcome box owned by the main window.
void RealFWDownload(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                    std::shared_ptr<FlashGuard> flash = nullptr, std::wstring oldVersion = {});

// The worker thread's entry: RealFWDownload with every exception logged and
// kept inside the thread, so the guard's unwinding is the last word.
void UpdateWorker(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                  std::shared_ptr<FlashGuard> flash = nullptr, std::wstring oldVersion = {}) noexcept;
