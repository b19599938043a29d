// Entry point of VarnockFWUpdate-cli.exe, the console twin: the command line
// of VarnockFWUpdate.exe without its window. A console program is waited for
// by cmd and PowerShell at a prompt, which then see its exit code, and it
// starts without loading the window's libraries.
#include <windows.h>

#include <string>
#include <vector>

#include "shell/command_line/portable/command_line_parse.h"
#include "shell/command_line/command_line_run.h"
#include "shell/dll_search.h"
#include "shell/internal_error.h"
#include "shell/command_line/console.h"

int wmain(int argc, wchar_t** argv) {
  // A fault is exit 14, never the C runtime's 3, which scripts read as "no dock".
  NarrowDllSearch();
  InstallFailureHandlers(FailureReport::Console);
  try {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    // Without arguments there is no window to open here: say how to use it.
    if (args.empty()) {
      ConsoleStream(STD_ERROR_HANDLE).Write(CommandLineUsage(FrontEnd::Console));
      return EXIT_USAGE;
    }
    return RunUnattended(ParseCommandLine(args), FrontEnd::Console);
  } catch (...) {
    return ReportInternalError(CurrentExceptionText());
  }
}
