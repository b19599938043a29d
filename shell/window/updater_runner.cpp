#include "shell/window/updater_runner.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>
#include <string>

#include <spdlog/spdlog.h>

#include "base/portable/exception_text.h"
#include "base/log_lines.h"
#include "base/portable/text_conversion.h"
#include "base/portable/ui_text.h"
#include "docks/portable/dock_count.h"
#include "docks/dock_guard.h"
#include "docks/dock_query.h"
#include "resources/resource.h"
#include "update/dock_after_flash.h"
#include "update/image_copy.h"
#include "update/power_request.h"
#include "shell/window/update_lock.h"
#include "update/updater_process.h"
#include "update/updater_trust.h"
#include "shell/window/wait_dialog.h"

FlashHandover::FlashHandover() = default;
FlashHandover::~FlashHandover() = default;

namespace {

// The system-call failures also go to standard output, "<what> failed (<code>)".
void ReportToStdout(const char* what, DWORD code) {
  std::printf("%s failed (%lu)\n", what, static_cast<unsigned long>(code));
  std::fflush(stdout);
}

// Whether this run's outcome box came: an exception later must not add a second.
thread_local bool t_outcomeShown = false;

// The outcome box, over the wait box whose clock stops now.
void ShowOutcome(HWND mainWindow, const std::wstring& text, UINT icon) {
  t_outcomeShown = true;
  StopWaitClock();
  MessageBoxW(mainWindow, text.c_str(), TXT_APP_TITLE, MB_OK | icon);
}

void ShowUpdateFailed(HWND mainWindow) { ShowOutcome(mainWindow, TXT_MSG_UPDATE_FAILED, MB_ICONQUESTION); }

// Whether an answer proves the flash. A dock whose version was unknown
// before proves it only by a restart: any version would look new.
bool IsNewVersion(const std::wstring& before, const std::wstring& now, bool restarted) {
  if (before.empty()) return restarted && !now.empty();
  return !now.empty() && now != before;
}

// The updater said it succeeded: the dock must say so too, the dock read
// before the flash and no other. It is asked while the wait box stays up;
// the list is read again after it answered (or not), so the row shows what
// the box tells.
void ProveFlash(HWND mainWindow, const DockInfo& dockBefore) {
  const UiLanguage language = SelectUiLanguage();
  const std::wstring& oldVersion = dockBefore.FwRev;
  ShowWaitNote(TXT_WAIT_DOCK_RESTART.In(language));
  const std::chrono::milliseconds limit = WindowDockProofLimit();
  const DockAfterFlash after = WaitForDockAfterFlash(
      "FWDownload", limit,
      [&oldVersion](const std::wstring& version, bool restarted) { return IsNewVersion(oldVersion, version, restarted); },
      &dockBefore);
  // The outcome is logged before the list is read again, so the log tells
  // them in the order they happened.
  std::wstring text;
  UINT icon = MB_ICONWARNING;
  switch (after.proof) {
    case DockProof::Flashed:
      spdlog::info(LOG_DOCK_AFTER_FLASH, WideToUtf8(oldVersion.empty() ? L"unknown" : oldVersion),
                   WideToUtf8(after.answer->FwRev));
      text = UpdateOkText(oldVersion.empty() ? std::wstring(L"?") : oldVersion, after.answer->FwRev);
      icon = 0;
      break;
    case DockProof::Unchanged:
      if (oldVersion.empty() && !after.restarted) {
        spdlog::error(LOG_DOCK_VERSION_UNKNOWN, WideToUtf8(after.answer->FwRev));
        text = FillInText(TXT_MSG_DOCK_VERSION_UNKNOWN.In(language), L"{version}", after.answer->FwRev);
        break;
      }
      spdlog::error(LOG_DOCK_STILL_REPORTS, WideToUtf8(after.answer->FwRev));
      text = FillInText(TXT_MSG_DOCK_UNCHANGED.In(language), L"{version}", after.answer->FwRev);
      break;
    case DockProof::NoAnswer: {
      // The log and the box tell the same wait.
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
      spdlog::error(LOG_DOCK_NO_ANSWER, seconds);
      text = FillInText(TXT_MSG_DOCK_NO_ANSWER.In(language), L"{seconds}", std::to_wstring(seconds));
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
void ReportRun(HWND mainWindow, const UpdaterRun& run, const DockInfo& dockBefore) {
  switch (run.stage) {
    case UpdaterStage::CommandLineTooLong:
      ShowUpdateFailed(mainWindow);
      return;
    case UpdaterStage::PipeFailed:
    case UpdaterStage::HandleFailed:
    case UpdaterStage::HandleListFailed:
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
  ProveFlash(mainWindow, dockBefore);
}

// The updater has ended: the dock is free for others, and logoff and
// shutdown need not wait for the outcome box.
void EndFlash(HWND mainWindow, FlashGuard* flash) {
  if (flash) flash->End();
  EndFlashHere();
  PostMessageW(mainWindow, WM_APP_FLASH_ENDED, 0, 0);
}

// The dock as it is now, read on the worker under the flash's own guard:
// the row the user chose was read before the file dialog, and another dock
// may have come meanwhile. Nothing when the flash must not go on: the
// refusal has been shown.
std::optional<DockInfo> ReadDockBeforeFlash(HWND mainWindow, FlashGuard* flash) {
  const UiLanguage language = SelectUiLanguage();
  if (flash != nullptr && !flash->AwaitLooks()) {
    spdlog::error("FWDownload refused: the dock is busy");
    ShowOutcome(mainWindow, TXT_MSG_DOCK_BUSY.In(language), MB_ICONQUESTION);
    return std::nullopt;
  }
  const DockQueryGuard guard(flash);
  if (!guard.Granted()) {
    spdlog::error("FWDownload refused: the dock is busy");
    ShowOutcome(mainWindow, guard.FlashRunning() ? TXT_MSG_UPDATE_RUNNING.In(language) : TXT_MSG_DOCK_BUSY.In(language),
                MB_ICONQUESTION);
    return std::nullopt;
  }
  spdlog::info("FWDownload QueryDock");
  const DockQueryResult query = QueryDockDiagnosed();
  if (SeveralDocks(query.dockCount)) {
    spdlog::error("FWDownload refused: {} docks are connected", query.dockCount);
    ShowOutcome(mainWindow, SeveralDocksRefusal(query.dockCount, language), MB_ICONQUESTION);
    return std::nullopt;
  }
  if (!query.info) {
    spdlog::error("FWDownload refused: no dock answers");
    ShowUpdateFailed(mainWindow);
    return std::nullopt;
  }
  return query.info;
}

}  // namespace

WaitDialogGuard::~WaitDialogGuard() {
  RequestWaitDialogClose();
  EnableWindow(mainWindow_, TRUE);
  // Last, so no second update can begin while this one's box is still up.
  EndUpdate();
}

void UpdateWorker(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                  std::shared_ptr<FlashHandover> handover) noexcept {
  try {
    RealFWDownload(std::move(fwFile), mainWindow, std::move(toolPath), std::move(handover));
  } catch (...) {
    // RealFWDownload keeps its own exceptions; this is the last resort.
    spdlog::error(LOG_INTERNAL_ERROR, CurrentExceptionText());
  }
}

void RealFWDownload(std::wstring fwFile, HWND mainWindow, std::wstring toolPath,
                    std::shared_ptr<FlashHandover> handover) {
  spdlog::info("RealFWDownload");
  WaitDialogGuard guard(mainWindow);
  t_outcomeShown = false;
  FlashGuard* const flash = handover ? handover->flash.get() : nullptr;
  bool flashEnded = false;
  const auto endFlash = [&] {
    if (!std::exchange(flashEnded, true)) EndFlash(mainWindow, flash);
  };
  try {
    const std::optional<DockInfo> dockBefore = ReadDockBeforeFlash(mainWindow, flash);
    if (!dockBefore) {
      endFlash();
      return;
    }
    const std::wstring image = handover && handover->image ? handover->image->Path() : fwFile;
    UpdaterRun run;
    {
      // Held until the updater has ended, also when something throws meanwhile.
      const FlashPowerRequest awake;
      run = RunUpdaterTool(toolPath, image, ShowToolOutput, flash ? flash->Marker() : nullptr, ToolOutputQuiet,
                           handover ? handover->updater.get() : nullptr);
    }
    endFlash();
    ReportRun(mainWindow, run, *dockBefore);
  } catch (...) {
    // Told as a failure while the wait box is still up: the box always comes.
    spdlog::error(LOG_INTERNAL_ERROR, CurrentExceptionText());
    endFlash();
    if (!t_outcomeShown) ShowUpdateFailed(mainWindow);
  }
}
