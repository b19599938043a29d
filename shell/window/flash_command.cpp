#include "shell/window/flash_command.h"

#include <commdlg.h>

#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "docks/portable/dock_count.h"
#include "docks/dock_guard.h"
#include "resources/resource.h"
#include "base/portable/text_conversion.h"
#include "base/portable/ui_text.h"
#include "shell/window/update_lock.h"
#include "update/update_preflight.h"
#include "shell/window/updater_runner.h"
#include "shell/window/taskbar_busy.h"
#include "shell/window/wait_dialog.h"

namespace {

void ShowRefusal(HWND mainWindow, const wchar_t* text) {
  MessageBoxW(mainWindow, text, TXT_APP_CLASS, MB_OK | MB_ICONQUESTION);
}

void RefuseMissingTool(HWND mainWindow, const std::wstring& toolPath) {
  spdlog::error("FWDownload {}", WideToUtf8(toolPath));
  wchar_t message[260] = {};
  swprintf_s(message, 260, TXT_MSG_TOOL_MISSING, UPDATER_TOOL_NAME);
  ShowRefusal(mainWindow, message);
}

// Run as SYSTEM or elevated beside an updater that others may replace.
void RefuseChangeableUpdater(HWND mainWindow, const std::wstring& toolPath, const std::wstring& account) {
  spdlog::error("FWDownload refused: the updater can be changed by {}", WideToUtf8(account));
  const std::wstring text =
      UpdaterChangeableText(SelectUiLanguage(), toolPath, account);
  ShowRefusal(mainWindow, text.c_str());
}

void RefuseGuardUnusable(HWND mainWindow, const wchar_t* name) {
  spdlog::error("FWDownload refused: dock guard unusable {}", WideToUtf8(name));
  ShowRefusal(mainWindow, FillInText(TXT_GUARD_UNUSABLE.In(SelectUiLanguage()), L"{name}", name).c_str());
}

void RefuseUpdateRunning(HWND mainWindow) {
  spdlog::error("FWDownload refused: another firmware update is running");
  ShowRefusal(mainWindow, TXT_MSG_UPDATE_RUNNING.In(SelectUiLanguage()));
}

// The updater cannot be told which dock to flash.
void RefuseSeveralDocks(HWND mainWindow, int docksOnBus) {
  spdlog::error("FWDownload refused: {} docks are connected", docksOnBus);
  ShowRefusal(mainWindow, SeveralDocksRefusal(docksOnBus, SelectUiLanguage()).c_str());
}

void RefuseLowBattery(HWND mainWindow, const BatteryCheck& battery) {
  ShowRefusal(mainWindow, BatteryRefusalText(battery.verdict, battery.status, SelectUiLanguage()).c_str());
}

// The open-file dialog; empty when the user chose nothing.
std::wstring AskForFirmwareFile(HWND mainWindow) {
  std::vector<wchar_t> fileName(FILE_NAME_LENGTH, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = mainWindow;
  dialog.lpstrFilter = TXT_FILE_FILTER;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = fileName.data();
  dialog.nMaxFile = FILE_NAME_LENGTH;
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (GetOpenFileNameW(&dialog) != TRUE) return {};
  return fileName.data();
}

// Asks Windows to hold logoff and shutdown with a reason the user can read,
// for as long as the object lives. UI thread only: the call needs the thread
// that created the window.
class ShutdownBlockReason {
 public:
  explicit ShutdownBlockReason(HWND mainWindow) : mainWindow_(mainWindow) {
    ShutdownBlockReasonCreate(mainWindow_, TXT_SHUTDOWN_REASON.In(SelectUiLanguage()));
  }
  ShutdownBlockReason(const ShutdownBlockReason&) = delete;
  ShutdownBlockReason& operator=(const ShutdownBlockReason&) = delete;
  ~ShutdownBlockReason() { ShutdownBlockReasonDestroy(mainWindow_); }

 private:
  HWND mainWindow_;
};

}  // namespace

void FWDownload(HWND mainWindow, const std::optional<DockInfo>& selectedDock, int docksOnBus) {
  spdlog::info("FWDownload");
  // The wait box's modal loop still dispatches commands posted to the
  // disabled window; a second update must never start from one.
  if (UpdateRunning()) {
    spdlog::error("FWDownload refused: an update is running");
    return;
  }
  const std::wstring toolPath = UpdaterToolBesideProgram();
  spdlog::info("FWDownload {}", WideToUtf8(toolPath));
  if (!UpdaterToolPresent(toolPath)) {
    RefuseMissingTool(mainWindow, toolPath);
    return;
  }
  // Said before the user picks a file.
  const std::wstring changeableBy = UpdaterChangeableWhenPrivileged(toolPath);
  if (!changeableBy.empty()) {
    RefuseChangeableUpdater(mainWindow, toolPath, changeableBy);
    return;
  }
  // Another copy's flash (or its orphaned updater) holds the dock: say so
  // before the user picks a file.
  const FlashMarker marker = QueryFlashMarker();
  if (marker == FlashMarker::Unusable) {
    RefuseGuardUnusable(mainWindow, FlashMarkerName());
    return;
  }
  if (marker == FlashMarker::Present) {
    RefuseUpdateRunning(mainWindow);
    return;
  }
  if (!selectedDock) return;
  if (SeveralDocks(docksOnBus)) {
    RefuseSeveralDocks(mainWindow, docksOnBus);
    return;
  }
  // The pre-flight's battery check, before the user picks a file.
  const BatteryCheck battery = CheckBatteryForFlash();
  if (BatteryRefuses(battery.verdict)) {
    RefuseLowBattery(mainWindow, battery);
    return;
  }

  const std::wstring fwFile = AskForFirmwareFile(mainWindow);
  if (fwFile.empty()) return;
  PreflightOptions options;
  options.checkBattery = false;  // looked at before the dialog
  options.guardWaitMs = 0;       // a look under way is waited for on the worker
  UpdatePreflight preflight = PreflightUpdate(fwFile, toolPath, options);
  switch (preflight.refusal) {
    case UpdateRefusal::Image:
      // A file that cannot be read is passed over quietly.
      if (preflight.image != FirmwareImageCheck::CannotOpen) ShowRefusal(mainWindow, TXT_MSG_INVALID_FW);
      return;
    case UpdateRefusal::ImageCopyFailed:
      spdlog::error("FWDownload refused: the image could not be copied {}", preflight.imageCopy->ErrorCode());
      ShowRefusal(mainWindow, FillInText(TXT_MSG_IMAGE_COPY_FAILED.In(SelectUiLanguage()), L"{code}",
                                         std::to_wstring(preflight.imageCopy->ErrorCode()))
                                  .c_str());
      return;
    case UpdateRefusal::ToolMissing:
      RefuseMissingTool(mainWindow, toolPath);
      return;
    case UpdateRefusal::LowBattery:
      RefuseLowBattery(mainWindow, preflight.battery);
      return;
    case UpdateRefusal::UpdaterChangeable:
      RefuseChangeableUpdater(mainWindow, toolPath, preflight.changeableBy);
      return;
    case UpdateRefusal::GuardUnusable:
      RefuseGuardUnusable(mainWindow, preflight.unusableGuard);
      return;
    case UpdateRefusal::UpdateRunning:
      spdlog::info("FWDownload select fwfile is {}", WideToUtf8(fwFile));
      RefuseUpdateRunning(mainWindow);
      return;
    case UpdateRefusal::DockBusy:
    case UpdateRefusal::UpdaterNotSigned:
    case UpdateRefusal::SignerMismatch:
      // The window neither waits for the guard here nor asks for a signer.
      spdlog::error("FWDownload refused: the dock is busy");
      ShowRefusal(mainWindow, TXT_MSG_DOCK_BUSY.In(SelectUiLanguage()));
      return;
    case UpdateRefusal::None:
      break;
  }
  spdlog::info("FWDownload select fwfile is {}", WideToUtf8(fwFile));
  auto handover = std::make_shared<FlashHandover>();
  handover->flash = std::move(preflight.flash);
  handover->image = std::move(preflight.imageCopy);
  handover->updater = std::move(preflight.updater);
  // The open-file dialog's modal loop dispatches commands too: check again, atomically.
  if (!TryBeginUpdate()) {
    spdlog::error("FWDownload refused: an update is running");
    return;
  }
  const ShutdownBlockReason blockShutdown(mainWindow);
  EnableWindow(mainWindow, FALSE);
  PrepareWaitDialogHandshake();
  try {
    std::thread(UpdateWorker, fwFile, mainWindow, toolPath, handover).detach();
  } catch (const std::system_error& failure) {
    // No worker means nobody would enable the window again: do it here.
    spdlog::error("FWDownload worker thread failed {}", failure.code().value());
    EnableWindow(mainWindow, TRUE);
    EndUpdate();
    return;
  } catch (const std::bad_alloc&) {
    spdlog::error("FWDownload worker thread failed {}", ERROR_NOT_ENOUGH_MEMORY);
    EnableWindow(mainWindow, TRUE);
    EndUpdate();
    return;
  }
  const TaskbarBusy busy(mainWindow);
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), mainWindow, WaitDialogProc, 0);
}
