#include "update/updater_runner.h"

#include <cstdio>
#include <exception>
#include <vector>

#include <spdlog/spdlog.h>

#include "shell/globals.h"
#include "shell/log.h"
#include "shell/ui_text.h"
#include "shell/win_handles.h"
#include "update/update_lock.h"
#include "update/update_outcome.h"
#include "update/updater_command.h"
#include "update/wait_dialog.h"

namespace {

// The system-call failures also go to standard output, "<what> failed (<code>)".
void ReportToStdout(const char* what, DWORD code) {
  std::printf("%s failed (%lu)\n", what, static_cast<unsigned long>(code));
  std::fflush(stdout);
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

  // Refused before anything starts: a line that does not fit would be cut or overrun.
  const std::wstring commandLine = BuildUpdaterCommandLine(toolPath, fwFile);
  if (!FitsCommandLineBuffer(commandLine)) {
    spdlog::error("RealFWDownload command line too long {}", commandLine.size());
    MessageBoxW(mainWindow, TXT_MSG_UPDATE_FAILED, TXT_APP_TITLE, MB_OK | MB_ICONQUESTION);
    return;
  }

  spdlog::info("RealFWDownload CreatePipe");
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
  if (!CreatePipe(readEnd.Receive(), writeEnd.Receive(), &security, 0)) {
    const DWORD code = GetLastError();
    spdlog::error("RealFWDownload CreatePipe failed {}", code);
    ReportToStdout("CreatePipe", code);
    return;
  }
  if (!SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0)) {
    const DWORD code = GetLastError();
    spdlog::error("RealFWDownload SetHandleInformation failed {}", code);
    ReportToStdout("SetHandleInformation", code);
    readEnd.Reset();
    writeEnd.Reset();
    return;
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = writeEnd.Get();
  PROCESS_INFORMATION process{};
  std::vector<wchar_t> commandBuffer(COMMAND_LINE_CAPACITY, L'\0');
  std::copy(commandLine.begin(), commandLine.end(), commandBuffer.begin());

  spdlog::info("RealFWDownload CreateProcess");
  if (!CreateProcessW(nullptr, commandBuffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    const DWORD code = GetLastError();
    spdlog::error("CreateProcess failed {}", code);
    ReportToStdout("CreateProcess", code);
    readEnd.Reset();
    writeEnd.Reset();
    return;
  }
  UniqueHandle child(process.hProcess);
  UniqueHandle childThread(process.hThread);
  writeEnd.Reset();  // the pipe ends when the child (and what it started) has ended

  std::vector<char> buffer(OUTPUT_BUFFER_SIZE, '\0');
  UpdateOutcome outcome;
  spdlog::info("ReadFile");
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(readEnd.Get(), buffer.data(), OUTPUT_READ_SIZE, &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) spdlog::error("ReadFile failed {}", code);
      break;
    }
    if (read == 0) break;
    buffer[read] = '\0';
    spdlog::info("ReadFile\n {}", buffer.data());
    outcome.Feed(buffer.data(), read);
  }
  // Closed before the wait: a tool still writing then gets a broken pipe
  // instead of blocking on a full one while we wait for it forever.
  readEnd.Reset();
  WaitForSingleObject(child.Get(), INFINITE);
  child.Reset();
  childThread.Reset();
  spdlog::info("RealFWDownload end");

  PostMessageW(mainWindow, WM_COMMAND, IDM_REFRESH, 0);
  if (outcome.Failed()) {
    MessageBoxW(mainWindow, TXT_MSG_UPDATE_FAILED, TXT_APP_TITLE, MB_OK | MB_ICONQUESTION);
  } else {
    MessageBoxW(mainWindow, TXT_MSG_UPDATE_OK, TXT_APP_TITLE, MB_OK);
  }
}
