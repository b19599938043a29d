#include "tests/support/log_reader.h"

#include <windows.h>
#include <share.h>

#include <algorithm>
#include <cstdio>

#include <spdlog/spdlog.h>

#include "tests/support/test_support.h"

namespace testsupport {

namespace {

constexpr char RECORD_SHAPE[] = "[dddd-dd-dd dd:dd:dd.ddd] [logger] [";
constexpr size_t RECORD_SHAPE_LENGTH = sizeof(RECORD_SHAPE) - 1;

// A record starts at `at` (a 'd' stands for any digit).
bool IsRecordStart(const std::string& text, size_t at) {
  if (text.size() < at + RECORD_SHAPE_LENGTH) return false;
  for (size_t i = 0; i < RECORD_SHAPE_LENGTH; ++i) {
    const char c = text[at + i];
    if (RECORD_SHAPE[i] == 'd' ? (c < '0' || c > '9') : c != RECORD_SHAPE[i]) return false;
  }
  return true;
}

std::vector<LogRecord> ParseLog(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t at = 0; at < text.size();) {
    if (IsRecordStart(text, at)) starts.push_back(at);
    const size_t next = text.find("\r\n", at);
    if (next == std::string::npos) break;
    at = next + 2;
  }
  std::vector<LogRecord> records;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t levelStart = starts[i] + RECORD_SHAPE_LENGTH;
    const size_t levelEnd = text.find("] ", levelStart);
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
    if (levelEnd == std::string::npos || levelEnd >= end) continue;
    std::string message = text.substr(levelEnd + 2, end - levelEnd - 2);
    if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0) message.resize(message.size() - 2);
    records.push_back(LogRecord{text.substr(levelStart, levelEnd - levelStart), message, text.substr(starts[i] + 1, 23)});
  }
  return records;
}

std::wstring OwnLogPath() { return StartFolder() + L"\\basic-log.txt"; }

void FlushOwnLog() {
  if (auto logger = spdlog::default_logger()) logger->flush();
}

// The bytes of a file from `offset` on; nothing when it is shorter.
std::string FileBytesFrom(const std::wstring& path, long long offset) {
  std::string bytes;
  FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
  if (file == nullptr) return bytes;
  if (_fseeki64(file, 0, SEEK_END) == 0 && _ftelli64(file) > offset && _fseeki64(file, offset, SEEK_SET) == 0) {
    char buffer[65536];
    for (size_t read; (read = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) bytes.append(buffer, read);
  }
  std::fclose(file);
  return bytes;
}

}  // namespace

void PrintTo(const LogRecord& record, std::ostream* out) { *out << record.level << " \"" << record.message << "\""; }

std::vector<LogRecord> ReadLog(const std::wstring& path) { return ParseLog(ReadFileBytes(path)); }

std::vector<std::string> Messages(const std::vector<LogRecord>& records) {
  std::vector<std::string> messages;
  for (const LogRecord& record : records) messages.push_back(record.level + " " + record.message);
  return messages;
}

std::vector<std::string> LogMessages(const std::wstring& path) { return Messages(ReadLog(path)); }

int FindRecord(const std::vector<LogRecord>& records, const std::string& level, const std::string& message,
               size_t from) {
  for (size_t i = from; i < records.size(); ++i) {
    if (records[i] == LogRecord{level, message}) return static_cast<int>(i);
  }
  return -1;
}

int CountOf(const std::vector<std::string>& messages, const std::string& message) {
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

std::vector<LogRecord> OwnLog() {
  FlushOwnLog();
  return ReadLog(OwnLogPath());
}

// Every record is flushed whole as it is written, so the log's length marks
// a place between records; only what follows it is read again, however
// much earlier tests logged.
size_t LogMark() {
  FlushOwnLog();
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(OwnLogPath().c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<size_t>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

std::vector<LogRecord> RecordsSince(size_t mark) {
  FlushOwnLog();
  return ParseLog(FileBytesFrom(OwnLogPath(), static_cast<long long>(mark)));
}

std::vector<std::string> LogSince(size_t mark) { return Messages(RecordsSince(mark)); }

std::string UnmarkedToolOutput(const std::string& logged) {
  std::string raw;
  for (size_t i = 0; i < logged.size(); ++i) {
    if (logged.compare(i, 4, "\\x00") == 0) {
      raw += '\0';
      i += 3;
      continue;
    }
    const char c = logged[i];
    raw += c;
    const bool lineEnd = c == '\n' || (c == '\r' && (i + 1 >= logged.size() || logged[i + 1] != '\n'));
    if (lineEnd && i + 1 < logged.size() && logged[i + 1] == ' ') ++i;  // the next line's mark
  }
  return raw;
}

}  // namespace testsupport
