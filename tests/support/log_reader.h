#pragma once
// The one reader of the program's log, basic-log.txt. A record starts with
// "[2026-12-08 17:12:02.281] [logger] [level] "; every line up to the next
// record belongs to its message (the tool's output and "QuitApp\n\n" span lines).
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

struct LogRecord {
  std::string level;
  std::string message;  // the bytes as written, without the record's closing CR LF
  std::string stamp;    // "2026-12-08 17:12:02.281"
  // Records compare by what was logged, not when.
  bool operator==(const LogRecord& other) const { return level == other.level && message == other.message; }
};
void PrintTo(const LogRecord& record, std::ostream* out);

// The records of a log file (basic-log.txt of the working directory by default).
std::vector<LogRecord> ReadLog(const std::wstring& path = L"basic-log.txt");
// Records as "level message" texts.
std::vector<std::string> Messages(const std::vector<LogRecord>& records);
std::vector<std::string> LogMessages(const std::wstring& path = L"basic-log.txt");
// Index of the first record with this level and message at or after `from`, or -1.
int FindRecord(const std::vector<LogRecord>& records, const std::string& level, const std::string& message,
               size_t from = 0);
int CountOf(const std::vector<std::string>& messages, const std::string& message);
// A block of the updater's output as the log holds it after "ReadFile\n ",
// given back as the updater printed it: the mark that starts each further
// line taken out, "\x00" a NUL again.
std::string UnmarkedToolOutput(const std::string& logged);

// The log this process writes itself (in the folder where the run began),
// flushed first; a mark is the log's length in bytes so far.
std::vector<LogRecord> OwnLog();
size_t LogMark();
std::vector<LogRecord> RecordsSince(size_t mark);
std::vector<std::string> LogSince(size_t mark);

}  // namespace testsupport
