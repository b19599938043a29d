#pragma once
// The program's log, "basic-log.txt" in the working directory, written through
// spdlog's default logger. spdlog itself stays out of this header: each source
// file that logs includes <spdlog/spdlog.h> on its own.
#include <string>

// Creates the "logger" file logger, makes it the default and flushes it every
// 3 seconds. Throws spdlog::spdlog_ex when the file cannot be opened.
void CreateLog();

// UTF-16 to UTF-8, for paths written to the log.
std::string WideToUtf8(std::wstring text);
