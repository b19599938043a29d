// Measures GUI programs from outside, as a user's double-click meets them:
//   bench_probe startup RUNS EXE CLASS TITLE ROWS [EXE CLASS TITLE ROWS ...]
//     starts each program RUNS times, interleaved, and times CreateProcess to
//     the moment its window (CLASS, TITLE) is visible and answers a message
//     and, if ROWS > 0, its device list (control 1001) holds ROWS rows; then
//     closes it (WM_CLOSE)
//   bench_probe footprint EXE CLASS TITLE ROWS IDLE_SECONDS
//     working set after start and the CPU time used while idle for IDLE_SECONDS
//   bench_probe exits RUNS CODE COMMAND_LINE [CODE COMMAND_LINE ...]
//     runs each command line RUNS times, interleaved, with standard output and
//     error on a pipe that is drained, and times CreateProcess to the process's
//     exit; stops at the first exit code other than CODE, so a broken run is
//     never timed
// One untimed warm-up start per program comes first. Output: JSON, one line per program.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "tests/support/probe_support.h"

using testsupport::Utf8;

namespace {

struct Target {
  std::wstring exe;
  std::wstring windowClass;
  std::wstring title;
  int rows = 0;
  std::vector<double> startMs;
};

double Now() { return 1000.0 * CounterSeconds(); }


std::string Escaped(const std::string& utf8) {
  std::string out;
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
      continue;
    }
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string Escaped(const std::wstring& text) { return Escaped(Utf8(text)); }

struct Running {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;
  double readyMs = -1;
};

double CpuMs(HANDLE process) {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 10000.0;
}

// The program's window once it is visible, answers messages (its thread has
// finished showing and painting it and waits for input) and, with ROWS, shows
// its rows; null after the time limit. The same rule for every program.
HWND WaitReady(const Target& target, DWORD processId, double deadline) {
  while (Now() < deadline) {
    HWND window = FindWindowW(target.windowClass.c_str(), target.title.c_str());
    DWORD owner = 0;
    if (window) GetWindowThreadProcessId(window, &owner);
    if (window && owner == processId && IsWindowVisible(window) &&
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr)) {
      if (target.rows <= 0) return window;
      HWND list = GetDlgItem(window, 1001);
      DWORD_PTR rows = 0;
      if (list && SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 1000, &rows) &&
          static_cast<int>(rows) >= target.rows) {
        return window;
      }
    }
    Sleep(1);
  }
  return nullptr;
}

bool Start(const Target& target, Running& running) {
  std::wstring commandLine = L"\"" + target.exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  const double started = Now();
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &running.process)) {
    std::fprintf(stderr, "cannot start %s: %lu\n", Utf8(target.exe).c_str(), GetLastError());
    return false;
  }
  running.window = WaitReady(target, running.process.dwProcessId, started + 60000);
  running.readyMs = Now() - started;
  if (!running.window) std::fprintf(stderr, "%s: no ready window\n", Utf8(target.exe).c_str());
  return running.window != nullptr;
}

void Stop(Running& running) {
  if (running.window) PostMessageW(running.window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(running.process.hProcess, 15000) != WAIT_OBJECT_0) {
    TerminateProcess(running.process.hProcess, 99);
    WaitForSingleObject(running.process.hProcess, 5000);
  }
  CloseHandle(running.process.hThread);
  CloseHandle(running.process.hProcess);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int Startup(int runs, std::vector<Target>& targets) {
  for (Target& target : targets) {  // warm-up: loads files into the caches for everybody alike
    Running running;
    const bool ok = Start(target, running);
    Stop(running);
    if (!ok) return 2;
  }
  for (int run = 0; run < runs; ++run) {
    for (size_t i = 0; i < targets.size(); ++i) {
      // Alternate the order so neither program always follows the other.
      Target& target = targets[run % 2 ? targets.size() - 1 - i : i];
      Running running;
      const bool ok = Start(target, running);
      Stop(running);
      if (!ok) return 2;
      target.startMs.push_back(running.readyMs);
      Sleep(200);
    }
  }
  for (const Target& target : targets) {
    std::printf("{\"exe\":\"%s\",\"median_ms\":%.1f,\"min_ms\":%.1f,\"max_ms\":%.1f,\"runs_ms\":[",
                Escaped(target.exe).c_str(), Median(target.startMs),
                *std::min_element(target.startMs.begin(), target.startMs.end()),
                *std::max_element(target.startMs.begin(), target.startMs.end()));
    for (size_t i = 0; i < target.startMs.size(); ++i) std::printf("%s%.1f", i ? "," : "", target.startMs[i]);
    std::printf("]}\n");
  }
  return 0;
}

int Footprint(const Target& target, int idleSeconds) {
  Running running;
  if (!Start(target, running)) {
    Stop(running);
    return 2;
  }
  Sleep(1000);  // let start-up settle
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  const BOOL haveMemory = GetProcessMemoryInfo(running.process.hProcess,
                                               reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
  const double cpuBefore = CpuMs(running.process.hProcess);
  const double wallBefore = Now();
  Sleep(static_cast<DWORD>(idleSeconds) * 1000);
  const double cpuIdle = CpuMs(running.process.hProcess) - cpuBefore;
  const double wall = Now() - wallBefore;
  std::printf("{\"exe\":\"%s\",\"memory_info\":%s,\"working_set_kb\":%llu,\"peak_working_set_kb\":%llu,"
              "\"private_kb\":%llu,\"cpu_start_ms\":%.1f,\"idle_s\":%.1f,\"idle_cpu_ms\":%.1f}\n",
              Escaped(target.exe).c_str(), haveMemory ? "true" : "false",
              static_cast<unsigned long long>(memory.WorkingSetSize / 1024),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024),
              static_cast<unsigned long long>(memory.PrivateUsage / 1024), cpuBefore, wall / 1000.0, cpuIdle);
  Stop(running);
  return 0;
}

struct Command {
  std::wstring commandLine;
  DWORD expectedCode = 0;
  std::vector<double> exitMs;
  std::vector<DWORD> codesSeen;
  std::string output;  // of the last run
};

// Output of the running child on an overlapped pipe, read while waiting for
// the child's exit. The end of the pipe is not waited for: the first GUI
// program of a fresh Wine server starts the desktop process, which keeps that
// program's standard error, and so the pipe, open.
class OutputPipe {
 public:
  OutputPipe() {
    static int serial = 0;
    const std::wstring name =
        L"\\\\.\\pipe\\bench_probe_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
    read_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 65536, 0, nullptr);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (read_ != INVALID_HANDLE_VALUE) {
      write_ = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    }
    overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~OutputPipe() {
    if (pending_) {
      CancelIo(read_);
      DWORD got = 0;
      GetOverlappedResult(read_, &overlapped_, &got, TRUE);
    }
    CloseWrite();
    if (read_ != INVALID_HANDLE_VALUE) CloseHandle(read_);
    if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
  }
  bool Ready() const { return write_ != INVALID_HANDLE_VALUE && overlapped_.hEvent != nullptr; }
  HANDLE Write() const { return write_; }
  HANDLE Event() const { return overlapped_.hEvent; }
  bool Pending() const { return pending_; }
  void CloseWrite() {  // the child holds its own copy
    if (write_ != INVALID_HANDLE_VALUE) CloseHandle(write_);
    write_ = INVALID_HANDLE_VALUE;
  }
  // Starts the next read; its completion signals Event().
  void Read() {
    ResetEvent(overlapped_.hEvent);
    pending_ = ReadFile(read_, buffer_, sizeof buffer_, nullptr, &overlapped_) || GetLastError() == ERROR_IO_PENDING;
  }
  // After Event() is signalled: keeps what arrived and reads on, unless the pipe ended.
  void Completed(std::string& output) {
    DWORD got = 0;
    pending_ = false;
    if (!GetOverlappedResult(read_, &overlapped_, &got, FALSE)) return;
    output.append(buffer_, got);
    Read();
  }

 private:
  HANDLE read_ = INVALID_HANDLE_VALUE;
  HANDLE write_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
  char buffer_[4096];
};

// One run of the command line. Returns the milliseconds from CreateProcess to
// the wait's return on the child's exit, or -1.
double RunToExit(Command& command, HANDLE nul) {
  OutputPipe pipe;
  if (!pipe.Ready()) {
    std::fprintf(stderr, "cannot make a pipe: %lu\n", GetLastError());
    return -1;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = pipe.Write();
  startup.hStdError = pipe.Write();
  std::wstring commandLine = command.commandLine;
  command.output.clear();
  PROCESS_INFORMATION process{};
  double started = 0;
  // Wine now and then fails a start under load (ERROR_INTERNAL_ERROR); that
  // says nothing about the program, so such a start is tried again, untimed.
  for (int attempt = 1;; ++attempt) {
    started = Now();
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
      break;
    }
    const DWORD error = GetLastError();
    std::fprintf(stderr, "cannot start %s: %lu\n", Utf8(command.commandLine).c_str(), error);
    if (error != ERROR_INTERNAL_ERROR || attempt == 3) return -1;
    Sleep(500);
  }
  pipe.CloseWrite();
  pipe.Read();
  double elapsed = -1;
  for (;;) {
    const HANDLE waits[] = {process.hProcess, pipe.Event()};
    const DWORD which = WaitForMultipleObjects(pipe.Pending() ? 2 : 1, waits, FALSE, 60000);
    if (which == WAIT_OBJECT_0) {
      elapsed = Now() - started;
      break;
    }
    if (which != WAIT_OBJECT_0 + 1) break;
    pipe.Completed(command.output);
  }
  // What the child wrote before its exit is in the pipe already.
  while (pipe.Pending() && WaitForSingleObject(pipe.Event(), 50) == WAIT_OBJECT_0) pipe.Completed(command.output);
  DWORD code = 0;
  if (elapsed < 0) {
    std::fprintf(stderr, "%s: still running after 60 s\n", Utf8(command.commandLine).c_str());
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
  } else {
    GetExitCodeProcess(process.hProcess, &code);
    command.codesSeen.push_back(code);
    if (code != command.expectedCode) {
      std::fprintf(stderr, "%s: exit code %lu, expected %lu\n", Utf8(command.commandLine).c_str(), code,
                   command.expectedCode);
      elapsed = -1;
    }
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (elapsed < 0 && !command.output.empty()) std::fprintf(stderr, "its output:\n%s\n", command.output.c_str());
  return elapsed;
}

int Exits(int runs, std::vector<Command>& commands) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                           nullptr);
  for (Command& command : commands) {  // warm-up, as for start-up
    if (RunToExit(command, nul) < 0) return 2;
  }
  for (int run = 0; run < runs; ++run) {
    for (size_t i = 0; i < commands.size(); ++i) {
      Command& command = commands[run % 2 ? commands.size() - 1 - i : i];
      const double ms = RunToExit(command, nul);
      if (ms < 0) return 2;
      command.exitMs.push_back(ms);
      Sleep(200);
    }
  }
  CloseHandle(nul);
  for (const Command& command : commands) {
    std::vector<DWORD> codes = command.codesSeen;
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    std::printf("{\"command\":\"%s\",\"expected_exit\":%lu,\"exit_codes\":[", Escaped(command.commandLine).c_str(),
                command.expectedCode);
    for (size_t i = 0; i < codes.size(); ++i) std::printf("%s%lu", i ? "," : "", codes[i]);
    std::printf("],\"median_ms\":%.1f,\"min_ms\":%.1f,\"max_ms\":%.1f,\"output\":\"%s\",\"runs_ms\":[",
                Median(command.exitMs), *std::min_element(command.exitMs.begin(), command.exitMs.end()),
                *std::max_element(command.exitMs.begin(), command.exitMs.end()), Escaped(command.output).c_str());
    for (size_t i = 0; i < command.exitMs.size(); ++i) std::printf("%s%.1f", i ? "," : "", command.exitMs[i]);
    std::printf("]}\n");
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"startup" && argc >= 7 && (argc - 3) % 4 == 0) {
    std::vector<Target> targets;
    for (int i = 3; i + 3 < argc; i += 4) targets.push_back({argv[i], argv[i + 1], argv[i + 2], _wtoi(argv[i + 3]), {}});
    return Startup(_wtoi(argv[2]), targets);
  }
  if (command == L"footprint" && argc == 7) {
    return Footprint({argv[2], argv[3], argv[4], _wtoi(argv[5]), {}}, _wtoi(argv[6]));
  }
  if (command == L"exits" && argc >= 5 && argc % 2 == 1 && _wtoi(argv[2]) > 0) {
    std::vector<Command> commands;
    for (int i = 3; i + 1 < argc; i += 2) {
      commands.push_back({argv[i + 1], static_cast<DWORD>(_wtoi(argv[i])), {}, {}, {}});
    }
    return Exits(_wtoi(argv[2]), commands);
  }
  std::fprintf(stderr,
               "usage: bench_probe startup RUNS EXE CLASS TITLE ROWS [...]\n"
               "       bench_probe footprint EXE CLASS TITLE ROWS IDLE_SECONDS\n"
               "       bench_probe exits RUNS CODE COMMAND_LINE [...]\n");
  return 64;
}
