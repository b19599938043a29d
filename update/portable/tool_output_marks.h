#pragma once
// The updater's output as the program passes it on: in the log, every line
// of it starts with a mark of its own (a space, as the first line of each
// block after "ReadFile" does), so no line the updater prints can pass for
// one of the program's, whatever reads the log (a carriage return alone
// ends a line too, as PowerShell's Get-Content reads it); a NUL is written
// as "\x00", the rest byte for byte. (On the console its control characters
// but CR and LF are escaped: EscapeControlChars with LineEnds::Kept.) Portable.
#include <string>
#include <string_view>

inline constexpr char TOOL_LINE_MARK = ' ';

// One block as the log line after "ReadFile\n " holds it.
std::string MarkToolOutputForLog(std::string_view block);
