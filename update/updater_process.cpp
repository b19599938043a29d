#include "update/updater_process.h"

#include <vector>

#include <spdlog/spdlog.h>

#include "shell/win_handles.h"
#include "update/update_outcome.h"
#include "update/updater_command.h"

namespace {

struct OutputPipe {
  UniqueHandle readEnd;
  UniqueHandle writeEnd;  // becomes the child's standard output and error
};

// An inheritable pipe whose read end stays with us alone.
UpdaterStage OpenOutputPipe(OutputPipe& pipe, DWORD& code) {
  spdlog::info("RealFWDownload CreatePipe");
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  if (!CreatePipe(pipe.readEnd.Receive(), pipe.writeEnd.Receive(), &security, 0)) {
    code = GetLastError();
    spdlog::error("RealFWDownload CreatePipe failed {}", code);
    return UpdaterStage::PipeFailed;
  }
  if (!SetHandleInformation(pipe.readEnd.Get(), HANDLE_FLAG_INHERIT, 0)) {
    code = GetLastError();
    spdlog::error("RealFWDownload SetHandleInformation failed {}", code);
    return UpdaterStage::HandleFailed;
  }
  return UpdaterStage::Finished;
}

// Starts the tool hidden with the pipe as its output; our write end is then
// closed, so the pipe ends when the child (and what it started) has ended.
UpdaterStage StartTool(const std::wstring& commandLine, OutputPipe& pipe, PROCESS_INFORMATION& process,
                       DWORD& code) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = pipe.writeEnd.Get();
  startup.hStdError = pipe.writeEnd.Get();
  std::vector<wchar_t> commandBuffer(COMMAND_LINE_CAPACITY, L'\0');  // CreateProcessW may write to it
  std::copy(commandLine.begin(), commandLine.end(), commandBuffer.begin());

  spdlog::info("RealFWDownload CreateProcess");
  if (!CreateProcessW(nullptr, commandBuffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    code = GetLastError();
    spdlog::error("CreateProcess failed {}", code);
    return UpdaterStage::StartFailed;
  }
  pipe.writeEnd.Reset();
  return UpdaterStage::Finished;
}

// Logs every block until the pipe ends, hands it on and feeds it to the judge.
void ReadToolOutput(HANDLE readEnd, const UpdaterOutputSink& onOutput, UpdateOutcome& outcome) {
  std::vector<char> buffer(OUTPUT_BUFFER_SIZE, '\0');
  spdlog::info("ReadFile");
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(readEnd, buffer.data(), OUTPUT_READ_SIZE, &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) spdlog::error("ReadFile failed {}", code);
      break;
    }
    if (read == 0) break;
    buffer[read] = '\0';
    spdlog::info("ReadFile\n {}", buffer.data());
    outcome.Feed(buffer.data(), read);
    if (onOutput) onOutput(buffer.data(), read);
  }
}

}  // namespace

const char* FailedCall(UpdaterStage stage) {
  switch (stage) {
    case UpdaterStage::PipeFailed: return "CreatePipe";
    case UpdaterStage::HandleFailed: return "SetHandleInformation";
    case UpdaterStage::StartFailed: return "CreateProcess";
    case UpdaterStage::CommandLineTooLong:
    case UpdaterStage::Finished: break;
  }
  return "";
}

UpdaterRun RunUpdaterTool(const std::wstring& toolPath, const std::wstring& fwFile,
                          const UpdaterOutputSink& onOutput) {
  UpdaterRun run;
  // Refused before anything starts: a line that does not fit would be cut or overrun.
  const std::wstring commandLine = BuildUpdaterCommandLine(toolPath, fwFile);
  if (!FitsCommandLineBuffer(commandLine)) {
    spdlog::error("RealFWDownload command line too long {}", commandLine.size());
    run.stage = UpdaterStage::CommandLineTooLong;
    return run;
  }
  OutputPipe pipe;
  run.stage = OpenOutputPipe(pipe, run.errorCode);
  if (run.stage != UpdaterStage::Finished) return run;
  PROCESS_INFORMATION process{};
  run.stage = StartTool(commandLine, pipe, process, run.errorCode);
  if (run.stage != UpdaterStage::Finished) return run;
  UniqueHandle child(process.hProcess);
  UniqueHandle childThread(process.hThread);

  UpdateOutcome outcome;
  ReadToolOutput(pipe.readEnd.Get(), onOutput, outcome);
  run.failed = outcome.Failed();
  // Closed before the wait: a tool still writing then gets a broken pipe
  // instead of blocking on a full one while we wait for it forever.
  pipe.readEnd.Reset();
  WaitForSingleObject(child.Get(), INFINITE);
  spdlog::info("RealFWDownload end");
  return run;
}
