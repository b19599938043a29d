#pragma once
// The program's log, "basic-log.txt" in the working directory unless the
// command line names another file, written through spdlog's default logger.
// spdlog itself stays out of this header: each source file that logs
// includes <spdlog/spdlog.h> on its own.
#include <string>

inline constexpr wchar_t DEFAULT_LOG_FILE[] = L"basic-log.txt";

// How a link under the log's name is taken. A privileged run must never
// follow one: a user who plants a link where a SYSTEM run logs would make
// SYSTEM append to a file of the user's choosing.
enum class LogLinks {
  Follow,  // a standard user's run: the file it names, as any program opens it
  Refuse,  // SYSTEM or elevated: a reparse point, a file with other names, or
           // one whose final path is not the named one is not written
};

// Creates the "logger" file logger (appending), makes it the default and
// writes every line through to the file as it is logged, so a killed or
// crashed run keeps its lines; a flusher also runs every 3 seconds. Throws
// spdlog::spdlog_ex when the file cannot be opened. False, with no logger
// made, when `links` refuses the file.
bool CreateLog(const std::wstring& file = DEFAULT_LOG_FILE, LogLinks links = LogLinks::Follow);

// Makes the default logger one that writes nowhere: the library's own
// default prints to standard output, which the command line keeps for its
// own lines.
void LogNowhere();
