#include "update/updater_runner.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "docks/dock_guard.h"
#include "resources/resource.h"
#include "base/text_conversion.h"
#include "base/ui_text.h"
#include "update/dock_after_flash.h"
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

// The outcome box, over the wait box whose clock stops now.
void ShowOutcome(HWND mainWindow, const std::wstring& text, UINT icon) {
  StopWaitClock();
  MessageBoxW(mainWindow, text.c_str(), TXT_APP_TITLE, MB_OK | icon);
}

void ShowUpdateFailed(HWND mainWindow) { ShowOutcome(mainWindow, TXT_MSG_UPDATE_FAILED, MB_ICONQUESTION); }

// The updater said it succeeded: the dock must say so too. It is asked while
// the wait box stays up; the list is read again after it answered (or not),
// so the row shows what the box tells.
void ProveFlash(HWND mainWindow, const std::wstring& oldVersion) {
  const UiLanguage language = SelectUiLanguage();
  ShowWaitNote(TXT_WAIT_DOCK_RESTART.In(language));
  const std::chrono::milliseconds limit = WindowDockProofLimit();
  const DockAfterFlash after = WaitForDockAfterFlash(
      "FWDownload", limit,
      [&oldVersion](const std::wstring& version) { return !version.empty() && version != oldVersion; });
  // The outcome is logged before the list is read again, so the log tells
  // them in the order they happened.
  std::wstring text;
  UINT icon = MB_ICONWARNING;
  switch (after.proof) {
    case DockProof::Flashed:
      spdlog::info(LOG_DOCK_AFTER_FLASH, WideToUtf8(oldVersion), WideToUtf8(after.answer->FwRev));
      text = UpdateOkText(oldVersion, after.answer->FwRev);
      icon = 0;
      break;
    case DockProof::Unchanged:
      spdlog::error(LOG_DOCK_STILL_REPORTS, WideToUtf8(after.answer->FwRev));
      text = FillIn(TXT_MSG_DOCK_UNCHANGED.In(language), after.answer->FwRev);
      break;
    case DockProof::NoAnswer: {
      // The log and the box tell the same wait.
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
      spdlog::error(LOG_DOCK_NO_ANSWER, seconds);
      text = FillIn(TXT_MSG_DOCK_NO_ANSWER.In(language), std::to_wstring(seconds));
      break;
    }
    case DockProof::FlashRunning:
      // Held by another copy's flash, or by a helper our updater left running.
      text = TXT_MSG_UPDATE_RUNNING.In(language);
      break;
  }
  PostMessageW(mainWindow, WM_COMMAND, IDM_REFRESH, 0);
  ShowOutcome(mainWindow, text, icon);
}

// Tells the user how the run ended. An updater that never started is a
// failed update too: the user must not take a closing wait box for success.
void ReportRun(HWND mainWindow, const UpdaterRun& run, const std::wstring& oldVersion) {
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
  if (run.failed) {
    // The list is read again while the user reads the outcome.
    PostMessageW(mainWindow, WM_COMMAND, IDM_REFRESH, 0);
    ShowUpdateFailed(mainWindow);
    return;
  }
  ProveFlash(mainWindow, oldVersion);
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

void UpdateWorker(std::wstring fwFile, HWND mainWindow, std::wstring toolPath, std::shared_ptr<FlashGuard> flash,
                  std::wstring oldVersion) noexcept {
  try {
    RealFWDownload(std::move(fwFile), mainWindow, std::move(toolPath), std::move(flash), std::move(oldVersion));
  } catch (...) {
    LogCaughtException();
  }
}

void RealFWDownload(std::wstring fwFile, HWND mainWindow, std::wstring toolPath, std::shared_ptr<FlashGuard> flash,
                    std::wstring oldVersion) {
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
  ReportRun(mainWindow, run, oldVersion);
}
