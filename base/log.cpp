#include "base/log.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "base/win_handles.h"

namespace {

// The log file, opened by its wide name: any path Windows takes works, also
// one the ANSI code page cannot spell (a profile folder in Chinese under an
// English system). Appended to, each line written through at once.
class WideFileSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit WideFileSink(const std::wstring& file)
      : file_(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file_) throw spdlog::spdlog_ex("cannot open the log file", static_cast<int>(GetLastError()));
  }

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

}  // namespace

void CreateLog(const std::wstring& file) {
  if (file.empty()) throw spdlog::spdlog_ex("empty log file name");
  auto logger = std::make_shared<spdlog::logger>("logger", std::make_shared<WideFileSink>(file));
  logger->flush_on(spdlog::level::trace);
  spdlog::set_default_logger(logger);
  spdlog::flush_every(std::chrono::seconds(3));
}

void LogNowhere() {
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("logger", std::make_shared<spdlog::sinks::null_sink_mt>()));
}
