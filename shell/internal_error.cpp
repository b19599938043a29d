#include "shell/internal_error.h"

#include <atomic>
#include <cstdio>
#include <exception>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "base/portable/text_conversion.h"
#include "base/portable/ui_text.h"
#include "shell/command_line/portable/command_line_parse.h"
#include "shell/command_line/console.h"

namespace {

std::atomic<FailureReport> g_failureReport{FailureReport::Console};
std::atomic<bool> g_ending{false};

std::string ModuleBaseName(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  if (module == nullptr || GetModuleFileNameW(module, path, MAX_PATH) == 0) return "?";
  const std::wstring full = path;
  const size_t slash = full.find_last_of(L"\\/");
  return WideToUtf8(slash == std::wstring::npos ? full : full.substr(slash + 1));
}

// Taken from user32 by name: the console twin imports nothing of the window.
void ShowFailureBox(const std::wstring& text) {
  using MessageBoxCall = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
  const HMODULE user32 = LoadLibraryW(L"user32.dll");
  const auto messageBox =
      user32 ? reinterpret_cast<MessageBoxCall>(reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxW"))) : nullptr;
  if (messageBox != nullptr) messageBox(nullptr, text.c_str(), TXT_APP_TITLE, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

LONG WINAPI EndOnUnhandledException(EXCEPTION_POINTERS* exception) {
  EndWithInternalError(exception != nullptr && exception->ExceptionRecord != nullptr
                           ? DescribeCrash(*exception->ExceptionRecord)
                           : std::string("exception"));
}

[[noreturn]] void EndOnTerminate() {
  std::string what = "std::terminate";
  if (const std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (...) {
      what = CurrentExceptionText();
    }
  }
  EndWithInternalError(what);
}

}  // namespace

std::string DescribeCrash(const EXCEPTION_RECORD& record) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCWSTR>(record.ExceptionAddress), &module);
  const auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
  const auto base = reinterpret_cast<ULONG_PTR>(module);
  char text[64] = {};
  std::snprintf(text, sizeof(text), "exception 0x%08lX at ", static_cast<unsigned long>(record.ExceptionCode));
  char offset[32] = {};
  std::snprintf(offset, sizeof(offset), "+0x%llx", static_cast<unsigned long long>(address - base));
  return std::string(text) + ModuleBaseName(module) + offset;
}

void InstallFailureHandlers(FailureReport report) {
  g_failureReport.store(report);
  std::set_terminate(EndOnTerminate);
  SetUnhandledExceptionFilter(EndOnUnhandledException);
}

void EndWithInternalError(const std::string& what) {
  // Told once: a second thread's fault while the first is told waits for the end.
  if (g_ending.exchange(true)) {
    for (;;) Sleep(INFINITE);
  }
  const bool window = g_failureReport.load() == FailureReport::WindowBox;
  spdlog::error(LOG_INTERNAL_ERROR, what);
  if (!window) spdlog::info(LOG_COMMAND_LINE_EXIT, static_cast<int>(EXIT_INTERNAL_ERROR));
  const std::wstring line = L"Internal error: " + Utf8ToWide(what);
  ConsoleStream(STD_ERROR_HANDLE).Write(line + L"\r\n");
  if (window) ShowFailureBox(line);
  TerminateProcess(GetCurrentProcess(), EXIT_INTERNAL_ERROR);
  ExitProcess(EXIT_INTERNAL_ERROR);
}
