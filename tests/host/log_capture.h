#pragma once
// Captures what the code under test logs through spdlog's default logger, one
// "level message" text per line, so tests can compare exact lines in order.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<LineSink>()), previous_(spdlog::default_logger()) {
    sink_->set_formatter(std::make_unique<spdlog::pattern_formatter>("%l %v", spdlog::pattern_time_type::local, ""));
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const { return sink_->Lines(); }

 private:
  class LineSink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<std::string> Lines() {
      std::lock_guard<std::mutex> lock(mutex_);
      return lines_;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
      spdlog::memory_buf_t text;
      formatter_->format(message, text);
      lines_.emplace_back(text.data(), text.size());
    }
    void flush_() override {}

   private:
    std::vector<std::string> lines_;
  };

  std::shared_ptr<LineSink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};
