#pragma once
// The updater's output on its way to standard output. The pipe's reader only
// hands each block over; a thread of its own writes them. A console paused by
// a selection (QuickEdit) or a pipe that nobody reads then stalls that thread
// alone, never the reader, and so never the updater in the middle of a flash.
// What does not fit while the writer is behind is dropped and counted; the
// log has every byte.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "shell/console.h"
#include "update/tool_output_utf8.h"

// The most output that waits for the writer; beyond it blocks are dropped.
inline constexpr size_t PASS_THROUGH_BACKLOG_BYTES = 256 * 1024;

class ToolOutputPassThrough {
 public:
  explicit ToolOutputPassThrough(ConsoleStream& out);
  ToolOutputPassThrough(const ToolOutputPassThrough&) = delete;
  ToolOutputPassThrough& operator=(const ToolOutputPassThrough&) = delete;
  ~ToolOutputPassThrough();
  // Hands a block on as UTF-8, never with half a character; never waits for the writer.
  void Feed(const char* data, size_t length);
  // The tool has ended: what is left, then one line if anything was dropped.
  // Waits until the writer is done, so later lines follow in order.
  void Finish();
  // The updater's last line has no line end yet (after Finish: nothing ends it).
  bool LineOpen() const { return lineOpen_; }

 private:
  void Hand(std::string text);
  void WriteUntilFinished();

  ConsoleStream& out_;
  ToolOutputUtf8 text_;
  std::mutex mutex_;
  std::condition_variable waiting_;
  std::deque<std::string> backlog_;
  size_t backlogBytes_ = 0;
  unsigned long long droppedBytes_ = 0;
  bool finished_ = false;
  bool lineOpen_ = false;  // of the text handed on last, shown or dropped
  std::thread writer_;  // last: started once the rest is built
};
