#include "update/updater_runner.h"

#include <cstdio>
#include <exception>

#include <spdlog/spdlog.h>

#include "shell/globals.h"
#include "shell/ui_text.h"
#include "update/update_lock.h"
#include "update/updater_process.h"
#include "update/wait_dialog.h"

namespace {

// The system-call failures also go to standard output, "<what> failed (<code>)".
void ReportToStdout(const char* what, DWORD code) {
  std::printf("%s failed (%lu)\n", what, static_cast<unsigned long>(code));
  std::fflush(stdout);
}

// Tells the user how the run ended. A tool that never started shows nothing:
// the wait box just closes, and the failure is in the log and on standard output.
void ReportRun(HWND mainWindow, const UpdaterRun& run) {
  switch (run.stage) {
    case UpdaterStage::CommandLineTooLong:
      MessageBoxW(mainWindow, TXT_MSG_UPDATE_FAILED, TXT_APP_TITLE, MB_OK | MB_ICONQUESTION);
      return;
    case UpdaterStage::PipeFailed:
    case UpdaterStage::HandleFailed:
    case UpdaterStage::StartFailed:
      ReportToStdout(FailedCall(run.stage), run.errorCode);
      return;
    case UpdaterStage::Finished:
      break;
  }
  // The list is read again while the user reads the outcome.
  PostMessageW(mainWindow, WM_COMMAND, IDM_REFRESH, 0);
  if (run.failed) {
    MessageBoxW(mainWindow, TXT_MSG_UPDATE_FAILED, TXT_APP_TITLE, MB_OK | MB_ICONQUESTION);
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

void UpdateWorker(std::wstring fwFile, HWND mainWindow, std::wstring toolPath) noexcept {
  try {
    RealFWDownload(std::move(fwFile), mainWindow, std::move(toolPath));
  } catch (const std::exception& failure) {
    spdlog::error("RealFWDownload exception {}", failure.what());
  } catch (...) {
    spdlog::error("RealFWDownload exception");
  }
}

void RealFWDownload(std::wstring fwFile, HWND mainWindow, std::wstring toolPath) {
  spdlog::info("RealFWDownload");
  WaitDialogGuard guard(mainWindow);
  ReportRun(mainWindow, RunUpdaterTool(toolPath, fwFile));
}
