#include "update/fw_download.h"

#include <commdlg.h>
#include <shlwapi.h>

#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "docks/device_list.h"
#include "docks/dock_guard.h"
#include "shell/globals.h"
#include "shell/log.h"
#include "shell/ui_text.h"
#include "update/firmware_image.h"
#include "update/update_lock.h"
#include "update/updater_command.h"
#include "update/updater_runner.h"
#include "update/wait_dialog.h"

namespace {

void ShowRefusal(HWND mainWindow, const wchar_t* text) {
  MessageBoxW(mainWindow, text, TXT_APP_CLASS, MB_OK | MB_ICONQUESTION);
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

std::wstring UpdaterToolBesideProgram() {
  std::vector<wchar_t> buffer(MODULE_PATH_LENGTH, L'\0');
  GetModuleFileNameW(nullptr, buffer.data(), MODULE_PATH_LENGTH);
  buffer.back() = L'\0';
  return UpdaterToolPath(buffer.data());
}

void FWDownload(HWND mainWindow) {
  spdlog::info("FWDownload");
  // The wait box's modal loop still dispatches commands posted to the
  // disabled window; a second update must never start from one.
  if (UpdateRunning()) {
    spdlog::error("FWDownload refused: an update is running");
    return;
  }
  const std::wstring toolPath = UpdaterToolBesideProgram();
  spdlog::info("FWDownload {}", WideToUtf8(toolPath));
  if (!PathFileExistsW(toolPath.c_str())) {
    spdlog::error("FWDownload {}", WideToUtf8(toolPath));
    wchar_t message[260] = {};
    swprintf_s(message, 260, TXT_MSG_TOOL_MISSING, UPDATER_TOOL_NAME);
    ShowRefusal(mainWindow, message);
    return;
  }
  // Another copy's flash (or its orphaned updater) holds the dock: say so
  // before the user picks a file.
  if (FlashRunningAnywhere()) {
    spdlog::error("FWDownload refused: another firmware update is running");
    ShowRefusal(mainWindow, TXT_MSG_UPDATE_RUNNING.In(SelectUiLanguage()));
    return;
  }
  if (ListNextSelectedRow(g_hListView, -1) == -1) return;

  const std::wstring fwFile = AskForFirmwareFile(mainWindow);
  if (fwFile.empty()) return;
  switch (CheckFirmwareImage(fwFile)) {
    case FirmwareImageCheck::CannotOpen:
      return;
    case FirmwareImageCheck::TooShort:
    case FirmwareImageCheck::BadSignature:
      ShowRefusal(mainWindow, TXT_MSG_INVALID_FW);
      return;
    case FirmwareImageCheck::Accepted:
      break;
  }
  spdlog::info("FWDownload select fwfile is {}", WideToUtf8(fwFile));

  auto flash = std::make_shared<FlashGuard>();
  if (!flash->Held()) {
    spdlog::error("FWDownload refused: another firmware update is running");
    ShowRefusal(mainWindow, TXT_MSG_UPDATE_RUNNING.In(SelectUiLanguage()));
    return;
  }
  // The open-file dialog's modal loop dispatches commands too: check again, atomically.
  if (!TryBeginUpdate()) {
    spdlog::error("FWDownload refused: an update is running");
    return;
  }
  const ShutdownBlockReason blockShutdown(mainWindow);
  EnableWindow(mainWindow, FALSE);
  PrepareWaitDialogHandshake();
  try {
    std::thread(UpdateWorker, fwFile, mainWindow, toolPath, flash).detach();
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
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), mainWindow, WaitDialogProc, 0);
}
