#include "shell/tool_output_pass_through.h"

#include <string_view>
#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/text_conversion.h"

ToolOutputPassThrough::ToolOutputPassThrough(ConsoleStream& out) : out_(out), text_(AnsiToUtf8) {
  try {
    writer_ = std::thread([this] { WriteUntilFinished(); });
  } catch (const std::system_error& failure) {
    // Without a writer the output is dropped and counted, never written on the reader's thread.
    spdlog::error("CommandLine output writer failed {}", failure.code().value());
  }
}

ToolOutputPassThrough::~ToolOutputPassThrough() { Finish(); }

void ToolOutputPassThrough::Feed(const char* data, size_t length) {
  Hand(text_.Feed(std::string_view(data, length)));
}

void ToolOutputPassThrough::Hand(std::string text) {
  if (text.empty()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    lineOpen_ = text.back() != '\n';
    if (finished_ || !writer_.joinable() || backlogBytes_ + text.size() > PASS_THROUGH_BACKLOG_BYTES) {
      droppedBytes_ += text.size();
      return;
    }
    backlogBytes_ += text.size();
    backlog_.push_back(std::move(text));
  }
  waiting_.notify_one();
}

void ToolOutputPassThrough::Finish() {
  std::string rest = text_.Finish();
  Hand(std::move(rest));
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finished_ = true;
  }
  waiting_.notify_one();
  if (writer_.joinable()) writer_.join();
  if (droppedBytes_ == 0) return;
  spdlog::error("CommandLine {} bytes of updater output not shown", droppedBytes_);
  // A line of its own, whatever the updater's last line lacked.
  out_.Write(std::wstring(lineOpen_ ? L"\r\n" : L"") + L"\u2026 " + std::to_wstring(droppedBytes_) +
             L" bytes of updater output were not shown; the log has them.\r\n");
  lineOpen_ = false;
}

void ToolOutputPassThrough::WriteUntilFinished() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    waiting_.wait(lock, [this] { return finished_ || !backlog_.empty(); });
    if (backlog_.empty()) return;
    std::string block = std::move(backlog_.front());
    backlog_.pop_front();
    lock.unlock();
    // Outside the lock: this write may wait as long as the reader of our output likes.
    out_.WriteUtf8(block);
    lock.lock();
    backlogBytes_ -= block.size();
  }
}
