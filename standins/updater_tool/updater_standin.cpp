// A stand-in for the dock's firmware updater tool, "varnock_dockupdatefw.exe",
// for tests and the demo. It takes the real tool's command line
//   varnock_dockupdatefw.exe -vid 3A7D -pid B070 -i "<image>" -l v
// prints progress to standard output and standard error in separate writes,
// and ends with "Firmware install (phase-1) completed" or "Firmware update failed".
//
// What it does is read from a script: the file named by VARNOCK_STANDIN_SCRIPT
// if set, else the text embedded in the image (see firmware_image_layout.h),
// else a default successful run. One directive per line:
//   out TEXT      write TEXT and a line end to standard output
//   err TEXT      the same to standard error
//   raw TEXT      TEXT to standard output without a line end ("\n" in TEXT is a line feed)
//   bulk N        N bytes of progress lines to standard output
//   sleep MS      pause
//   file PATH     the bytes of the file PATH to standard output in one write
//   waitevent NAME  wait (up to a minute) until the named event is set, if it exists
//   waitlogged PATH|TEXT  wait (up to a minute) until the file PATH (the program's
//                 log) holds TEXT ("\n" and "\r" in it are line ends) past the
//                 length it had when the tool started: the program has read
//                 and logged what came before, so the next write is a read of its own
//   stamp PATH    write the performance counter's value (decimal) to PATH
//   record PATH   write the command line received (UTF-8) to PATH
//   cwd PATH      write the current directory (UTF-8) to PATH
//   injob PATH    write "in a job" or "in no job" to PATH
//   flash         store the image's version, as the image file holds it now, in the
//                 simulated dock's state file
//   reboot MS     take the simulated dock off the bus for MS milliseconds from now
//   fwrequest N   the simulated dock's firmware-version request gives N (a libusb
//                 code; 0 answers) from now on
//   unopenable MS the simulated dock stays on the bus but cannot be opened
//                 (LIBUSB_ERROR_ACCESS) for MS milliseconds from now
//   rebootlooks N take the simulated dock off the bus for the next N looks at it,
//                 however late they come (a restart no slow first look misses)
//   serial TEXT   the simulated dock answers with this serial from now on, as
//                 another dock would
//   empty         a write of zero bytes to standard output
//   linger MS [NAME]  start a process that inherits standard output and error and
//                 keeps them for MS milliseconds (or, with NAME, until the named
//                 event is set, if it exists, at most MS), then go on without waiting
//   lock NAME     take the named mutex NAME (made if missing; waiting up to a minute)
//   unlock        let it go again (ending the tool lets it go too)
//   exit CODE     end with CODE (the default is 0); 0x... in hexadecimal
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "standins/sim_dock/sim_dock.h"
#include "standins/updater_tool/firmware_image_layout.h"
#include "tests/support/probe_support.h"

namespace {

using testsupport::Utf8;
using testsupport::Wide;
using testsupport::WriteStd;

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* const DEFAULT_SCRIPT =
    "out Varnock dock firmware updater\n"
    "out Dock 3A7D:B070 found\n"
    "err Erasing flash...\n"
    "sleep 300\n"
    "out Writing image: 25%\n"
    "sleep 300\n"
    "out Writing image: 50%\n"
    "sleep 300\n"
    "out Writing image: 75%\n"
    "sleep 300\n"
    "out Writing image: 100%\n"
    "flash\n"
    "out Firmware install (phase-1) completed\n";


// A process of our own that holds the inherited output handles for a while,
// as a helper an updater leaves behind would.
void StartLingeringChild(const std::string& millisecondsAndEvent) {
  wchar_t self[1024] = {};
  GetModuleFileNameW(nullptr, self, 1024);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --linger " + Wide(millisecondsAndEvent);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if ((argc == 3 || argc == 4) && std::wstring(argv[1]) == L"--linger") {
    const DWORD milliseconds = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    // A test lets the helper go once it has seen what it wanted while the helper lived.
    const HANDLE release = argc == 4 ? OpenEventW(SYNCHRONIZE, FALSE, argv[3]) : nullptr;
    if (release) {
      WaitForSingleObject(release, milliseconds);
      CloseHandle(release);
    } else {
      Sleep(milliseconds);
    }
    return 0;
  }
  // The real tool's arguments, in this order.
  std::wstring image;
  const bool wellFormed = argc == 9 && std::wstring(argv[1]) == L"-vid" && std::wstring(argv[2]) == L"3A7D" &&
                          std::wstring(argv[3]) == L"-pid" && std::wstring(argv[4]) == L"B070" &&
                          std::wstring(argv[5]) == L"-i" && std::wstring(argv[7]) == L"-l" &&
                          std::wstring(argv[8]) == L"v";
  if (wellFormed) image = argv[6];

  std::string script;
  wchar_t scriptPath[1024] = {};
  const std::string imageFile = image.empty() ? std::string() : testsupport::ReadFileBytes(image);
  const std::vector<char> imageBytes(imageFile.begin(), imageFile.end());
  if (GetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", scriptPath, 1024) > 0) {
    script = testsupport::ReadFileBytes(scriptPath);
  } else {
    script = EmbeddedScript(imageBytes);
    if (script.empty()) script = DEFAULT_SCRIPT;
  }
  if (!wellFormed) {
    WriteStd(STD_ERROR_HANDLE, "usage: varnock_dockupdatefw -vid VID -pid PID -i IMAGE -l v\r\n");
    WriteStd(STD_OUTPUT_HANDLE, "Firmware update failed\r\n");
  }

  // Each waitlogged file's length before the tool wrote anything.
  std::map<std::string, size_t> logLengthsAtStart;
  {
    std::istringstream scan(script);
    std::string line;
    while (std::getline(scan, line)) {
      if (line.rfind("waitlogged ", 0) != 0) continue;
      const size_t bar = line.find('|');
      const std::string path = line.substr(11, bar == std::string::npos ? std::string::npos : bar - 11);
      logLengthsAtStart[path] = testsupport::ReadFileBytes(Wide(path)).size();
    }
  }

  int exitCode = wellFormed ? 0 : 2;
  HANDLE locked = nullptr;  // a mutex taken by "lock", as another copy's look at the dock holds it
  std::istringstream lines(script);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (verb == "out") {
      WriteStd(STD_OUTPUT_HANDLE, Unescape(argument) + "\r\n");
    } else if (verb == "err") {
      WriteStd(STD_ERROR_HANDLE, Unescape(argument) + "\r\n");
    } else if (verb == "raw") {
      WriteStd(STD_OUTPUT_HANDLE, Unescape(argument));
    } else if (verb == "bulk") {
      long long remaining = std::atoll(argument.c_str());
      const std::string chunk = "progress: writing block ........................................\r\n";
      while (remaining > 0) {
        const size_t take = static_cast<size_t>(std::min<long long>(remaining, 64 * 1024));
        std::string block;
        while (block.size() < take) block += chunk;
        block.resize(take);
        WriteStd(STD_OUTPUT_HANDLE, block);
        remaining -= static_cast<long long>(take);
      }
    } else if (verb == "file") {
      WriteStd(STD_OUTPUT_HANDLE, testsupport::ReadFileBytes(Wide(argument)));
    } else if (verb == "waitevent") {
      // Lets a test hold the tool running until it has looked at the program.
      if (HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, Wide(argument).c_str())) {
        WaitForSingleObject(event, 60000);
        CloseHandle(event);
      }
    } else if (verb == "waitlogged") {
      const size_t bar = argument.find('|');
      const std::string path = argument.substr(0, bar);
      std::string text = Unescape(argument.substr(bar == std::string::npos ? argument.size() : bar + 1));
      for (size_t at = text.find("\\r"); at != std::string::npos; at = text.find("\\r", at)) text.replace(at, 2, "\r");
      const size_t from = logLengthsAtStart[path];
      for (int tries = 0; tries < 6000; ++tries) {
        const std::string log = testsupport::ReadFileBytes(Wide(path));
        if (log.size() > from && log.find(text, from) != std::string::npos) break;
        Sleep(10);
      }
    } else if (verb == "stamp") {
      LARGE_INTEGER now{};
      QueryPerformanceCounter(&now);
      testsupport::WriteFileBytes(Wide(argument), std::to_string(now.QuadPart));
    } else if (verb == "sleep") {
      Sleep(static_cast<DWORD>(std::atoi(argument.c_str())));
    } else if (verb == "injob") {
      BOOL inJob = FALSE;
      IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
      testsupport::WriteFileBytes(Wide(argument), inJob ? "in a job" : "in no job");
    } else if (verb == "record") {
      testsupport::WriteFileBytes(Wide(argument), Utf8(GetCommandLineW()));
    } else if (verb == "cwd") {
      wchar_t current[1024] = {};
      GetCurrentDirectoryW(1024, current);
      testsupport::WriteFileBytes(Wide(argument), Utf8(current));
    } else if (verb == "flash") {
      // Read again now, as a real updater reads its image while it flashes.
      const std::string flashed = image.empty() ? std::string() : testsupport::ReadFileBytes(image);
      std::uint8_t version[4] = {};
      if (ImageVersion(std::vector<char>(flashed.begin(), flashed.end()), version)) {
        SimDockState state;
        const std::wstring statePath = SimDockStatePath();
        if (LoadSimDockState(statePath, state)) {
          std::copy(version, version + 4, state.firmware);
          SaveSimDockState(statePath, state);
        }
      }
    } else if (verb == "fwrequest" || verb == "unopenable") {
      SimDockState state;
      const std::wstring statePath = SimDockStatePath();
      if (LoadSimDockState(statePath, state)) {
        if (verb == "fwrequest") {
          state.controlResult = std::atoi(argument.c_str());
        } else {
          state.unopenableUntil = SimDockNow() + std::strtoull(argument.c_str(), nullptr, 10) * 10000;
        }
        SaveSimDockState(statePath, state);
      }
    } else if (verb == "serial") {
      SimDockState state;
      const std::wstring statePath = SimDockStatePath();
      if (LoadSimDockState(statePath, state)) {
        state.serial = argument;
        SaveSimDockState(statePath, state);
      }
    } else if (verb == "reboot") {
      SimDockState state;
      const std::wstring statePath = SimDockStatePath();
      if (LoadSimDockState(statePath, state)) {
        state.offlineUntil = SimDockNow() + std::strtoull(argument.c_str(), nullptr, 10) * 10000;
        SaveSimDockState(statePath, state);
      }
    } else if (verb == "rebootlooks") {
      SimDockState state;
      const std::wstring statePath = SimDockStatePath();
      if (LoadSimDockState(statePath, state)) {
        state.offlineLooks = std::atoi(argument.c_str());
        SaveSimDockState(statePath, state);
      }
    } else if (verb == "empty") {
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "", 0, &written, nullptr);
    } else if (verb == "linger") {
      StartLingeringChild(argument);
    } else if (verb == "lock") {
      locked = CreateMutexW(nullptr, FALSE, Wide(argument).c_str());
      if (locked) WaitForSingleObject(locked, 60000);
    } else if (verb == "unlock") {
      if (locked) {
        ReleaseMutex(locked);
        CloseHandle(locked);
        locked = nullptr;
      }
    } else if (verb == "exit") {
      exitCode = static_cast<int>(std::strtoul(argument.c_str(), nullptr, 0));
    }
  }
  return exitCode;
}
