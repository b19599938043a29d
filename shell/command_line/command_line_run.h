#pragma once
// The command-line modes: no window and no message box, text to the console
// or the redirected standard handles, the outcome as the exit code.
#include <string>
#include <vector>

#include "shell/command_line/portable/command_line_parse.h"

// Runs /info, /update, /? or reports a usage error; returns the exit code.
// Whatever is thrown ends as an internal error (exit 14), never as another code.
int RunUnattended(const CommandRequest& request, FrontEnd frontEnd);

// Tells an internal error on standard error and in the log; returns its exit code.
int ReportInternalError(const std::string& what);
