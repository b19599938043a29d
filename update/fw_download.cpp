#include "update/fw_download.h"

#include <commdlg.h>
#include <shlwapi.h>

#include <string>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "docks/device_list.h"
#include "shell/globals.h"
#include "shell/log.h"
#include "shell/ui_text.h"
#include "update/firmware_image.h"
#include "update/updater_command.h"
#include "update/updater_runner.h"
#include "update/wait_dialog.h"

namespace {

std::wstring OwnModulePath() {
  std::vector<wchar_t> buffer(MODULE_PATH_LENGTH, L'\0');
  GetModuleFileNameW(nullptr, buffer.data(), MODULE_PATH_LENGTH);
  buffer.back() = L'\0';
  return buffer.data();
}

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

}  // namespace

void FWDownload(HWND mainWindow) {
  spdlog::info("FWDownload");
  const std::wstring toolPath = UpdaterToolPath(OwnModulePath());
  spdlog::info("FWDownload {}", WideToUtf8(toolPath));
  if (!PathFileExistsW(toolPath.c_str())) {
    spdlog::error("FWDownload {}", WideToUtf8(toolPath));
    wchar_t message[260] = {};
    swprintf_s(message, 260, TXT_MSG_TOOL_MISSING, UPDATER_TOOL_NAME);
    ShowRefusal(mainWindow, message);
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

  EnableWindow(mainWindow, FALSE);
  PrepareWaitDialogHandshake();
  try {
    std::thread(RealFWDownload, fwFile, mainWindow, toolPath).detach();
  } catch (const std::system_error& failure) {
    // No worker means nobody would enable the window again: do it here.
    spdlog::error("FWDownload worker thread failed {}", failure.code().value());
    EnableWindow(mainWindow, TRUE);
    return;
  } catch (const std::bad_alloc&) {
    spdlog::error("FWDownload worker thread failed {}", ERROR_NOT_ENOUGH_MEMORY);
    EnableWindow(mainWindow, TRUE);
    return;
  }
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), mainWindow, WaitDialogProc, 0);
}
