#include "base/log.h"

#include <windows.h>

#include <chrono>
#include <memory>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

namespace {

// spdlog opens files by narrow name, which Windows reads in the ANSI code
// page. A name that code page cannot hold would open some other file.
std::string AnsiFileName(const std::wstring& file) {
  const int length = static_cast<int>(file.size());
  if (length == 0) throw spdlog::spdlog_ex("empty log file name");
  BOOL lossy = FALSE;
  const int needed = WideCharToMultiByte(CP_ACP, 0, file.data(), length, nullptr, 0, nullptr, &lossy);
  if (needed <= 0 || lossy) throw spdlog::spdlog_ex("log file name not in the ANSI code page");
  std::string name(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, file.data(), length, name.data(), needed, nullptr, nullptr);
  return name;
}

}  // namespace

void CreateLog(const std::wstring& file) {
  auto logger = spdlog::basic_logger_mt("logger", AnsiFileName(file), false);
  logger->flush_on(spdlog::level::trace);
  spdlog::set_default_logger(logger);
  spdlog::flush_every(std::chrono::seconds(3));
}

void LogNowhere() {
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("logger", std::make_shared<spdlog::sinks::null_sink_mt>()));
}
