#pragma once
// Runs the updater tool on the update worker thread and reports the outcome.
#include <windows.h>

#include <memory>
#include <string>

class FlashGuard;
class HeldUpdater;
class ImageCopy;

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

// What FWDownload hands the worker with the chosen image: the flash's guard
// (a look at the dock may still be ending: the worker waits for it, the UI
// thread never does), the image as copied and hashed for the updater, and in
// a privileged run the updater as checked, held until it has started.
struct FlashHandover {
  std::unique_ptr<FlashGuard> flash;
  std::shared_ptr<ImageCopy> image;
  std::shared_ptr<HeldUpdater> updater;
  FlashHandover();
  ~FlashHandover();
};

// The worker's body: reads the dock once more under the flash's guard (a
// second dock plugged in since the menu refuses the flash), runs the tool
// hidden, logs its output, ends the flash (the dock guard, the shutdown hold)
// as soon as the tool has ended, then, when the tool reported success, waits
// for that same dock to prove it (the wait box stays up), asks the main
// window to refresh, and shows the outcome box owned by the main window.
// Without a handover (tests), `fwFile` itself is given to the tool.
void RealFWDownload(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                    std::shared_ptr<FlashHandover> handover = nullptr);

// The worker thread's entry: RealFWDownload with every exception kept inside
// the thread: it is logged as an internal error, and the failure box comes
// if no outcome box came yet.
void UpdateWorker(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                  std::shared_ptr<FlashHandover> handover = nullptr) noexcept;
