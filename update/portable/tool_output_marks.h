#pragma once
// The updater's output as the program passes it on: in the log, every line
// of it starts with a mark of its own (a space, as the first line of each
// block after "ReadFile" does), so no line the updater prints can pass for
// one of the program's, whatever reads the log (a carriage return alone
// ends a line too, as PowerShell's Get-Content reads it); a NUL is written
// as "\x00", the rest byte for byte. On the console, control characters that
// could move the cursor, recolour or retitle it (ESC and the others but tab,
// CR and LF) are written escaped. Portable.
#include <string>
#include <string_view>

inline constexpr char TOOL_LINE_MARK = ' ';

// One block as the log line after "ReadFile\n " holds it.
std::string MarkToolOutputForLog(std::string_view block);

// `utf8` with ESC, the other C0 controls but tab, CR and LF, and DEL as "\xHH".
std::string EscapeConsoleControls(std::string_view utf8);
