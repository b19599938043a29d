// Entry point of VarnockFWUpdate: start-up in a fixed order, then the message loop.
#include <windows.h>

#include <spdlog/spdlog.h>

#include "docks/dock_query.h"
#include "shell/window/startup.h"
#include "shell/command_line/command_line_run.h"
#include "shell/dll_search.h"
#include "shell/internal_error.h"

namespace {

int RunProgram(HINSTANCE instance) {
  // With arguments the program runs unattended for scripts; without, as always.
  const CommandRequest request = ParseCommandLine(ProgramArguments());
  if (request.mode != CommandMode::Window) return RunUnattended(request, FrontEnd::Window);
  InstallFailureHandlers(FailureReport::WindowBox);
  if (RaiseRunningCopy()) return 0;
  StartLogging();
  const OSVERSIONINFOEXW version = QueryWindowsVersion();
  spdlog::info("program start...");
  spdlog::info("Windows version: {0}.{1} (Build {2})", version.dwMajorVersion, version.dwMinorVersion,
               version.dwBuildNumber);
  if (StartUsbLibrary() < 0) return 1;
  HWND mainWindow = BuildMainWindow(instance);
  if (mainWindow == nullptr) return 1;
  ShowMainWindow(mainWindow);
  return RunMessageLoop(mainWindow);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // A fault is exit 14, never the C runtime's 3, which scripts read as "no dock".
  NarrowDllSearch();
  InstallFailureHandlers(FailureReport::Console);
  try {
    return RunProgram(instance);
  } catch (...) {
    return ReportInternalError(CurrentExceptionText());
  }
}
