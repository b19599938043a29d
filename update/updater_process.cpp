#include "update/updater_process.h"

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "base/portable/text_conversion.h"
#include "base/win_handles.h"
#include "update/updater_trust.h"
#include "update/portable/tool_output_marks.h"
#include "update/portable/update_outcome.h"
#include "update/portable/updater_command.h"

namespace {

struct OutputPipe {
  UniqueHandle readEnd;   // ours, opened for overlapped reads
  UniqueHandle writeEnd;  // becomes the child's standard output and error
  UniqueHandle readDone;  // the overlapped reads' event
};

// A named pipe, unlike an anonymous one, can be read with overlapped I/O, so
// the reader can wait for output and for the tool's end at once: a process
// the tool started may keep the write end open long after the tool ended.
std::wstring UniquePipeName() {
  static std::atomic<unsigned> serial{0};
  return L"\\\\.\\pipe\\VarnockFWUpdate.output." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(serial.fetch_add(1));
}

// An inheritable write end; the read end stays with us alone.
UpdaterStage OpenOutputPipe(OutputPipe& pipe, DWORD& code) {
  spdlog::info("RealFWDownload CreatePipe");
  const std::wstring name = UniquePipeName();
  pipe.readEnd.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                      0, OUTPUT_BUFFER_SIZE, 0, nullptr));
  if (pipe.readEnd) {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;
    pipe.writeEnd.Reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &security, OPEN_EXISTING, 0, nullptr));
  }
  if (pipe.writeEnd) pipe.readDone.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!pipe.readDone) {
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

// The handles a child may inherit, and no others: without the list it would
// inherit every inheritable handle of ours, such as files our caller
// redirected our output to, and hold them for as long as it runs.
class InheritedHandles {
 public:
  explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      error_ = GetLastError();
      return;
    }
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      error_ = GetLastError();
      DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  ~InheritedHandles() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST List() const { return list_; }
  // Why there is no list.
  DWORD ErrorCode() const { return error_; }

 private:
  std::vector<HANDLE> handles_;  // the list points into this
  std::vector<char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  DWORD error_ = ERROR_SUCCESS;
};

// A deployment agent runs us in a job and may end the job at its time-out,
// with everything inside: the updater leaves the job where the job allows it,
// so that the flash runs to its end. Asked of CreateProcess itself, which
// refuses a breakaway that this job, or one around it, forbids.
bool InsideJob() {
  BOOL inJob = FALSE;
  return IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) && inJob;
}

// Starts the tool hidden with the pipe as its output; our write end is then
// closed, so the pipe breaks when the child (and what it started) has ended.
// The folder the updater lies in: its current directory, never ours, which
// a deployment engine may have put where users can write.
std::wstring ToolFolder(const std::wstring& toolPath) {
  const size_t slash = toolPath.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  std::wstring folder = toolPath.substr(0, slash);
  if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
  return folder;
}

UpdaterStage StartTool(const std::wstring& toolPath, const std::wstring& commandLine, OutputPipe& pipe,
                       HANDLE alsoInherit, PROCESS_INFORMATION& process, DWORD& code) {
  std::vector<HANDLE> inherited{pipe.writeEnd.Get()};
  if (alsoInherit != nullptr) inherited.push_back(alsoInherit);
  const InheritedHandles inheritOnly(std::move(inherited));

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = pipe.writeEnd.Get();
  startup.StartupInfo.hStdError = pipe.writeEnd.Get();
  startup.lpAttributeList = inheritOnly.List();
  std::vector<wchar_t> commandBuffer(COMMAND_LINE_CAPACITY, L'\0');  // CreateProcessW may write to it
  std::copy(commandLine.begin(), commandLine.end(), commandBuffer.begin());

  const std::wstring folder = ToolFolder(toolPath);
  const wchar_t* currentDirectory = folder.empty() ? nullptr : folder.c_str();
  // Without the list the child would inherit every inheritable handle of
  // ours: never started without it.
  if (inheritOnly.List() == nullptr) {
    code = inheritOnly.ErrorCode();
    spdlog::error("RealFWDownload handle list failed {}", code);
    return UpdaterStage::HandleListFailed;
  }
  const bool insideJob = InsideJob();
  spdlog::info("RealFWDownload CreateProcess");
  const DWORD flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT;
  const std::vector<wchar_t> pristine = commandBuffer;
  bool started = CreateProcessW(nullptr, commandBuffer.data(), nullptr, nullptr, TRUE,
                                flags | (insideJob ? CREATE_BREAKAWAY_FROM_JOB : 0), nullptr, currentDirectory,
                                &startup.StartupInfo, &process) != FALSE;
  code = started ? ERROR_SUCCESS : GetLastError();
  // Only the breakaway itself refused is worth a second start, inside the job.
  if (insideJob && !started && code == ERROR_ACCESS_DENIED) {
    spdlog::info(LOG_UPDATER_INSIDE_JOB);
    commandBuffer = pristine;
    started = CreateProcessW(nullptr, commandBuffer.data(), nullptr, nullptr, TRUE, flags, nullptr, currentDirectory,
                             &startup.StartupInfo, &process) != FALSE;
    code = started ? ERROR_SUCCESS : GetLastError();
  } else if (insideJob && started) {
    spdlog::info(LOG_UPDATER_OUTSIDE_JOB);
  }
  if (!started) {
    spdlog::error(LOG_UPDATER_START_FAILED, code);
    return UpdaterStage::StartFailed;
  }
  pipe.writeEnd.Reset();
  return UpdaterStage::Finished;
}

bool IsEndOfOutput(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF || code == ERROR_PIPE_NOT_CONNECTED;
}

// Bytes waiting in the pipe; none once it is broken or empty.
DWORD BytesWaiting(HANDLE readEnd) {
  DWORD available = 0;
  if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) return 0;
  return available;
}

// An overlapped read into a buffer that must outlive it: on every way out
// while it is pending (an exception from a callback among them) it is
// cancelled and waited for, so the system never writes into freed memory.
class PendingRead {
 public:
  PendingRead(HANDLE pipe, OVERLAPPED& overlapped) : pipe_(pipe), overlapped_(overlapped) {}
  PendingRead(const PendingRead&) = delete;
  PendingRead& operator=(const PendingRead&) = delete;
  ~PendingRead() {
    if (!pending_) return;
    CancelIoEx(pipe_, &overlapped_);
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, &overlapped_, &ignored, TRUE);
  }
  // The read has completed (or failed): nothing is left to wait for.
  void Completed() { pending_ = false; }

 private:
  HANDLE pipe_;
  OVERLAPPED& overlapped_;
  bool pending_ = true;
};

// Logs every block, hands it on and feeds it to the judge, until the pipe
// breaks, or, once the tool itself has ended, until what is in the pipe is read.
void ReadToolOutput(OutputPipe& pipe, HANDLE child, const UpdaterOutputSink& onOutput,
                    const UpdaterQuietTick& onQuiet, UpdateOutcome& outcome) {
  std::vector<char> buffer(OUTPUT_BUFFER_SIZE, '\0');
  spdlog::info(LOG_UPDATER_READ);
  bool childEnded = false;
  for (;;) {
    if (childEnded && BytesWaiting(pipe.readEnd.Get()) == 0) break;
    OVERLAPPED overlapped{};
    overlapped.hEvent = pipe.readDone.Get();
    DWORD read = 0;
    {
      PendingRead pending(pipe.readEnd.Get(), overlapped);
      if (!ReadFile(pipe.readEnd.Get(), buffer.data(), OUTPUT_READ_SIZE, nullptr, &overlapped)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) {
          pending.Completed();
          if (!IsEndOfOutput(code)) spdlog::error("ReadFile failed {}", code);
          break;
        }
        if (!childEnded) {
          const HANDLE waits[] = {pipe.readDone.Get(), child};
          const DWORD tick = onQuiet ? OUTPUT_QUIET_TICK_MS : INFINITE;
          DWORD woke = WAIT_TIMEOUT;
          while ((woke = WaitForMultipleObjects(2, waits, FALSE, tick)) == WAIT_TIMEOUT) onQuiet();
          if (woke == WAIT_OBJECT_0 + 1) {
            childEnded = true;
            // What the tool wrote last may still be on its way to this read.
            if (WaitForSingleObject(pipe.readDone.Get(), OUTPUT_GRACE_MS) == WAIT_TIMEOUT) {
              CancelIoEx(pipe.readEnd.Get(), &overlapped);
            }
          }
        }
      }
      const BOOL done = GetOverlappedResult(pipe.readEnd.Get(), &overlapped, &read, TRUE);
      pending.Completed();
      if (!done) {
        const DWORD code = GetLastError();
        if (code == ERROR_OPERATION_ABORTED) continue;  // cancelled above: take what is left
        if (!IsEndOfOutput(code)) spdlog::error("ReadFile failed {}", code);
        break;
      }
    }
    if (read == 0) continue;  // a zero-length write, not the end
    buffer[read] = '\0';
    // By its length: a NUL in the output must not cut the rest of the block from the log.
    spdlog::info("ReadFile\n {}", MarkToolOutputForLog(std::string_view(buffer.data(), read)));
    outcome.Feed(buffer.data(), read);
    if (onOutput) onOutput(buffer.data(), read);
  }
}

}  // namespace

const char* FailedCall(UpdaterStage stage) {
  switch (stage) {
    case UpdaterStage::PipeFailed: return "CreatePipe";
    case UpdaterStage::HandleFailed: return "SetHandleInformation";
    case UpdaterStage::HandleListFailed: return "UpdateProcThreadAttribute";
    case UpdaterStage::StartFailed: return "CreateProcess";
    case UpdaterStage::CommandLineTooLong:
    case UpdaterStage::Finished: break;
  }
  return "";
}

UpdaterRun RunUpdaterTool(const std::wstring& toolPath, const std::wstring& fwFile,
                          const UpdaterOutputSink& onOutput, HANDLE alsoInherit,
                          const UpdaterQuietTick& onQuiet, HeldUpdater* held) {
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
  run.stage = StartTool(toolPath, commandLine, pipe, alsoInherit, process, run.errorCode);
  // Started, or not at all: what was checked need not be held any longer.
  if (held != nullptr) held->Release();
  if (run.stage != UpdaterStage::Finished) return run;
  UniqueHandle child(process.hProcess);
  UniqueHandle childThread(process.hThread);

  UpdateOutcome outcome;
  try {
    ReadToolOutput(pipe, child.Get(), onOutput, onQuiet, outcome);
  } catch (...) {
    // The updater may still be flashing: what holds the computer awake and
    // the session open is the caller's, and lives until the updater has ended.
    pipe.readEnd.Reset();
    WaitForSingleObject(child.Get(), INFINITE);
    throw;
  }
  // Closed before the wait: a tool still writing then gets a broken pipe
  // instead of blocking on a full one while we wait for it forever.
  pipe.readEnd.Reset();
  WaitForSingleObject(child.Get(), INFINITE);
  if (!GetExitCodeProcess(child.Get(), &run.exitCode)) run.exitCode = STILL_ACTIVE;
  spdlog::info(LOG_UPDATER_EXIT_CODE, ExitCodeText(run.exitCode));
  run.failed = UpdaterRunFailed(outcome, run.exitCode);
  run.completed = outcome.SawCompletion();
  spdlog::info(LOG_UPDATER_END);
  return run;
}
