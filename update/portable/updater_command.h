#pragma once
// The updater tool's command line. Portable.
#include <string>

// Room for the command line, terminator included.
inline constexpr size_t COMMAND_LINE_CAPACITY = 1024;

// "\"<tool>\" -vid <vendor> -pid <product> -i \"<image>\" -l v", the dock's ids in hexadecimal
std::wstring BuildUpdaterCommandLine(const std::wstring& toolPath, const std::wstring& fwFile);

// A line of more than 1023 code units does not fit the buffer and is refused.
inline bool FitsCommandLineBuffer(const std::wstring& line) { return line.size() < COMMAND_LINE_CAPACITY; }

// The tool path: the program's path cut after its last '\' or '/', plus the tool's name.
std::wstring UpdaterToolPath(const std::wstring& modulePath);
