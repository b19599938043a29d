// Child process for the log tests: creates the program's log and writes to it
// as told on its command line, so that each run really opens, appends to and
// (at exit) flushes and closes basic-log.txt in its working directory.
//
//   log_probe create [info TEXT] [error TEXT] [path WIDE_PATH] [quit] [sleep MS]
//             [noflusher] [signal EVENT] [waitfor EVENT MS] ...
//
// noflusher puts spdlog's periodic flush a day away, so that only the
// program's own write-through can put a line on disk while the probe runs;
// signal sets a named event, waitfor waits for one (at most MS).
//
// Exit codes: 0 done, 2 bad command line, 3 CreateLog threw spdlog::spdlog_ex,
// 4 CreateLog threw something else.
#include <windows.h>

#include <chrono>
#include <cwchar>
#include <string>

#include <spdlog/spdlog.h>

#include "base/log.h"
#include "base/portable/text_conversion.h"

namespace {

constexpr int EXIT_BAD_USAGE = 2;
constexpr int EXIT_LOG_EXCEPTION = 3;
constexpr int EXIT_OTHER_EXCEPTION = 4;

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring action = argv[i];
    const bool hasValue = i + 1 < argc;
    if (action == L"create") {
      try {
        CreateLog();
      } catch (const spdlog::spdlog_ex&) {
        return EXIT_LOG_EXCEPTION;
      } catch (...) {
        return EXIT_OTHER_EXCEPTION;
      }
    } else if (action == L"info" && hasValue) {
      spdlog::info("{}", WideToUtf8(argv[++i]));
    } else if (action == L"error" && hasValue) {
      spdlog::error("{}", WideToUtf8(argv[++i]));
    } else if (action == L"path" && hasValue) {
      // The program's own wording for a chosen firmware file.
      spdlog::info("FWDownload select fwfile is {}", WideToUtf8(argv[++i]));
    } else if (action == L"quit") {
      spdlog::info("QuitApp\n\n");
    } else if (action == L"noflusher") {
      spdlog::flush_every(std::chrono::hours(24));
    } else if (action == L"signal" && hasValue) {
      HANDLE event = CreateEventW(nullptr, TRUE, FALSE, argv[++i]);
      SetEvent(event);
      CloseHandle(event);
    } else if (action == L"waitfor" && i + 2 < argc) {
      HANDLE event = CreateEventW(nullptr, TRUE, FALSE, argv[++i]);
      WaitForSingleObject(event, static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
      CloseHandle(event);
    } else if (action == L"sleep" && hasValue) {
      Sleep(static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
    } else {
      return EXIT_BAD_USAGE;
    }
  }
  return 0;
}
