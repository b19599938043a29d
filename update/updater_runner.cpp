#include "update/updater_runner.h"

#include <cstdio>
#include <exception>

#include <spdlog/spdlog.h>

#include "docks/dock_guard.h"
#include "resources/resource.h"
#include "base/ui_text.h"
#include "update/power_request.h"
#include "update/update_lock.h"
#include "update/updater_process.h"
#include "update/wait_dialog.h"

namespace {

// The system-call failures also go to standard output, "<what> failed (<code>)".
void ReportToStdout(const char* what, DWORD code) {
  std::printf("%s failed (%lu)\n", what, static_cast<unsigned long>(code));
  std::fflush(stdout);
}

void ShowUpdateFailed(HWND mainWindow) {
  MessageBoxW(mainWindow, TXT_MSG_UPDATE_FAILED, TXT_APP_TITLE, MB_OK | MB_ICONQUESTION);
}

// Tells the user how the run ended. An updater that never started is a
// failed update too: the user must not take a closing wait box for success.
void ReportRun(HWND mainWindow, const UpdaterRun& run) {
  switch (run.stage) {
    case UpdaterStage::CommandLineTooLong:
      ShowUpdateFailed(mainWindow);
      return;
    case UpdaterStage::PipeFailed:
    case UpdaterStage::HandleFailed:
    case UpdaterStage::StartFailed:
      ReportToStdout(FailedCall(run.stage), run.errorCode);
      ShowUpdateFailed(mainWindow);
      return;
    case UpdaterStage::Finished:
      break;
  }
  // The list is read again while the user reads the outcome.
  PostMessageW(mainWindow, WM_COMMAND, IDM_REFRESH, 0);
  if (run.failed) {
    ShowUpdateFailed(mainWindow);
  } else {
    MessageBoxW(mainWindow, TXT_MSG_UPDATE_OK, TXT_APP_TITLE, MB_OK);
  }
}

}  // namespace

WaitDialogGuard::~WaitDialogGuard() {
  RequestWaitDialogClose();
  EnableWindow(mainWindow_, TRUE);
  // Last, so no second update can begin while this one's box is still up.
  EndUpdate();
}

namespace {

// Inside a catch block: logs what was thrown.
void LogCaughtException() noexcept {
  try {
    throw;
  } catch (const std::exception& failure) {
    spdlog::error("RealFWDownload exception {}", failure.what());
  } catch (...) {
    spdlog::error("RealFWDownload exception");
  }
}

// The updater has ended: the dock is free for others, and logoff and
// shutdown need not wait for the outcome box.
void EndFlash(HWND mainWindow, const std::shared_ptr<FlashGuard>& flash) {
  if (flash) flash->End();
  EndFlashHere();
  PostMessageW(mainWindow, WM_APP_FLASH_ENDED, 0, 0);
}

}  // namespace

void UpdateWorker(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                  std::shared_ptr<FlashGuard> flash) noexcept {
  try {
    RealFWDownload(std::move(fwFile), mainWindow, std::move(toolPath), std::move(flash));
  } catch (...) {
    LogCaughtException();
  }
}

void RealFWDownload(std::wstring fwFile, HWND mainWindow, std::wstring toolPath, std::shared_ptr<FlashGuard> flash) {
  spdlog::info("RealFWDownload");
  WaitDialogGuard guard(mainWindow);
  UpdaterRun run;
  try {
    const FlashPowerRequest awake;
    run = RunUpdaterTool(toolPath, fwFile, ShowToolOutput, flash ? flash->Marker() : nullptr, ToolOutputQuiet);
  } catch (...) {
    // Told as a failure while the wait box is still up.
    EndFlash(mainWindow, flash);
    LogCaughtException();
    ShowUpdateFailed(mainWindow);
    return;
  }
  EndFlash(mainWindow, flash);
  ReportRun(mainWindow, run);
}
