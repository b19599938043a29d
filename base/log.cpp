#include "base/log.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "base/final_path.h"
#include "base/win_handles.h"

namespace {

// The log file, opened by its wide name: any path Windows takes works, also
// one the ANSI code page cannot spell (a profile folder in Chinese under an
// English system). Appended to, each line written through at once.
class WideFileSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit WideFileSink(UniqueHandle file) : file_(std::move(file)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t line;
    formatter_->format(message, line);
    DWORD written = 0;
    WriteFile(file_.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  // Nothing is held back on this side: each line went to the file with its WriteFile.
  void flush_() override {}

 private:
  UniqueHandle file_;
};

// Opened as a link itself, never through it: what it is can then be told.
// A file with more than one name may be another file's second name.
bool IsPlainFile(HANDLE file, const std::wstring& name) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file, &information)) return false;
  if ((information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) return false;
  if (information.nNumberOfLinks != 1) return false;
  const std::wstring final = FinalPath(file);
  return !final.empty() && SamePath(final, NormalizedPath(name));
}

}  // namespace

bool CreateLog(const std::wstring& file, LogLinks links) {
  if (file.empty()) throw spdlog::spdlog_ex("empty log file name");
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (links == LogLinks::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  UniqueHandle opened(CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, flags,
                                  nullptr));
  if (!opened) throw spdlog::spdlog_ex("cannot open the log file", static_cast<int>(GetLastError()));
  if (links == LogLinks::Refuse && !IsPlainFile(opened.Get(), file)) return false;
  auto logger = std::make_shared<spdlog::logger>("logger", std::make_shared<WideFileSink>(std::move(opened)));
  logger->flush_on(spdlog::level::trace);
  spdlog::set_default_logger(logger);
  spdlog::flush_every(std::chrono::seconds(3));
  return true;
}

void LogNowhere() {
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("logger", std::make_shared<spdlog::sinks::null_sink_mt>()));
}
