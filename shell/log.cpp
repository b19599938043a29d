#include "shell/log.h"

#include <windows.h>

#include <chrono>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

void CreateLog() {
  auto logger = spdlog::basic_logger_mt("logger", "basic-log.txt", false);
  spdlog::set_default_logger(logger);
  spdlog::flush_every(std::chrono::seconds(3));
}

std::string WideToUtf8(std::wstring text) {
  const int length = static_cast<int>(text.size());
  if (length == 0) return {};
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string result(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
  return result;
}
