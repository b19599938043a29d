#include "shell/command_line/tool_output_pass_through.h"

#include <chrono>
#include <string_view>
#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/portable/text_conversion.h"

ToolOutputPassThrough::ToolOutputPassThrough(ConsoleStream& out)
    : out_(out), text_(AnsiToUtf8), shared_(std::make_shared<Shared>()) {
  shared_->target = out_.Target();
  try {
    writer_ = std::thread([shared = shared_] { WriteUntilFinished(shared); });
  } catch (const std::system_error& failure) {
    // Without a writer the output is dropped and counted, never written on the reader's thread.
    spdlog::error("CommandLine output writer failed {}", failure.code().value());
    shared_->writerDone = true;
  }
}

ToolOutputPassThrough::~ToolOutputPassThrough() {
  if (finishCalled_) return;
  try {
    Finish();
  } catch (...) {
    // Already on the way out of the run: what the writer threw is not its outcome.
  }
}

void ToolOutputPassThrough::Feed(const char* data, size_t length) {
  Hand(EscapeControlChars(text_.Feed(std::string_view(data, length)), LineEnds::Kept));
}

void ToolOutputPassThrough::Hand(std::string text) {
  if (text.empty()) return;
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    lineOpen_ = text.back() != '\n';
    if (shared_->finished || shared_->writerDone ||
        shared_->backlogBytes + text.size() > PASS_THROUGH_BACKLOG_BYTES) {
      shared_->droppedBytes += text.size();
      return;
    }
    shared_->backlogBytes += text.size();
    shared_->backlog.push_back(std::move(text));
  }
  shared_->changed.notify_all();
}

void ToolOutputPassThrough::FinishWriter() {
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->finished = true;
  }
  shared_->changed.notify_all();
  if (!writer_.joinable()) return;
  std::unique_lock<std::mutex> lock(shared_->mutex);
  const auto writerDone = [this] { return shared_->writerDone; };
  if (!shared_->changed.wait_for(lock, std::chrono::milliseconds(PASS_THROUGH_FINISH_MS), writerDone)) {
    // Stuck writing into a pipe nobody reads, or a paused console: the rest
    // is dropped, and the write under way is cancelled.
    shared_->cancelled = true;
    for (const std::string& block : shared_->backlog) shared_->droppedBytes += block.size();
    shared_->backlog.clear();
    shared_->backlogBytes = 0;
    if (shared_->thread) CancelSynchronousIo(shared_->thread.Get());
    shared_->changed.wait_for(lock, std::chrono::milliseconds(PASS_THROUGH_CANCEL_MS), writerDone);
    out_.GiveUp();
  }
  const bool done = shared_->writerDone;
  lock.unlock();
  if (done) {
    writer_.join();
  } else {
    // A write the system would not cancel: the writer holds only what it shares, and ends with the process.
    spdlog::error("CommandLine output writer did not return; left to the end of the run");
    writer_.detach();
  }
}

void ToolOutputPassThrough::Finish() {
  finishCalled_ = true;
  Hand(EscapeControlChars(text_.Finish(), LineEnds::Kept));
  FinishWriter();
  unsigned long long dropped = 0;
  std::exception_ptr failure;
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    dropped = shared_->droppedBytes;
    failure = shared_->failure;
  }
  if (failure) std::rethrow_exception(failure);
  if (dropped == 0) return;
  spdlog::error("CommandLine {} bytes of updater output not shown", dropped);
  // A line of its own, whatever the updater's last line lacked; nothing on a stream given up.
  out_.Write(std::wstring(lineOpen_ ? L"\r\n" : L"") + L"\u2026 " + std::to_wstring(dropped) +
             L" bytes of updater output were not shown; the log has them.\r\n");
  lineOpen_ = false;
}

void ToolOutputPassThrough::WriteUntilFinished(const std::shared_ptr<Shared>& shared) {
  HANDLE self = nullptr;
  // The real handle of this thread, for a cancel from the reader's side.
  if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    const std::lock_guard<std::mutex> lock(shared->mutex);
    shared->thread.Reset(self);
  }
  std::unique_lock<std::mutex> lock(shared->mutex);
  try {
    for (;;) {
      shared->changed.wait(lock, [&] { return shared->finished || shared->cancelled || !shared->backlog.empty(); });
      if (shared->cancelled || shared->backlog.empty()) break;
      std::string block = std::move(shared->backlog.front());
      shared->backlog.pop_front();
      lock.unlock();
      // Outside the lock: this write may wait as long as the reader of our output likes.
      const size_t written = WriteUtf8To(shared->target, block);
      lock.lock();
      shared->backlogBytes -= block.size();
      if (written < block.size()) {
        // Cancelled or broken: the rest of this block, and of the backlog, is not shown.
        shared->droppedBytes += block.size() - written;
        shared->cancelled = true;
      }
    }
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    shared->failure = std::current_exception();
  }
  for (const std::string& block : shared->backlog) shared->droppedBytes += block.size();
  shared->backlog.clear();
  shared->backlogBytes = 0;
  shared->writerDone = true;
  lock.unlock();
  shared->changed.notify_all();
}
