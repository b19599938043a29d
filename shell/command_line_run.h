#pragma once
// The command-line modes: no window and no message box, text to the console
// or the redirected standard handles, the outcome as the exit code.
#include <string>
#include <vector>

#include "shell/command_line_parse.h"

// Runs /info, /update, /? or reports a usage error; returns the exit code.
int RunUnattended(const CommandRequest& request);
