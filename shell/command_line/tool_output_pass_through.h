#pragma once
// The updater's output on its way to standard output. The pipe's reader only
// hands each block over; a thread of its own writes them. A console paused by
// a selection (QuickEdit) or a pipe that nobody reads then stalls that thread
// alone, never the reader, and so never the updater in the middle of a flash.
// What does not fit while the writer is behind is dropped and counted; the
// log has every byte. Once the updater has ended the writer gets a bounded
// time to finish: a write still stuck then is cancelled and the stream is
// given up, so nothing outlives the updater by more than the bound.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "shell/command_line/console.h"
#include "update/portable/tool_output_utf8.h"

// The most output that waits for the writer; beyond it blocks are dropped.
inline constexpr size_t PASS_THROUGH_BACKLOG_BYTES = 256 * 1024;
// How long the writer may go on once the updater has ended, before a stuck
// write is cancelled; and how long the cancel may take before the writer is
// left to the process's end.
inline constexpr DWORD PASS_THROUGH_FINISH_MS = 2000;
inline constexpr DWORD PASS_THROUGH_CANCEL_MS = 500;

class ToolOutputPassThrough {
 public:
  explicit ToolOutputPassThrough(ConsoleStream& out);
  ToolOutputPassThrough(const ToolOutputPassThrough&) = delete;
  ToolOutputPassThrough& operator=(const ToolOutputPassThrough&) = delete;
  ~ToolOutputPassThrough();
  // Hands a block on as UTF-8, never with half a character, its control
  // characters escaped; never waits for the writer.
  void Feed(const char* data, size_t length);
  // The tool has ended: what is left, then one line if anything was dropped.
  // Waits for the writer at most about PASS_THROUGH_FINISH_MS; a stream
  // that stays stuck is given up (ConsoleStream::GiveUp), so later lines
  // for it are dropped instead of waiting. Throws what the writer threw.
  void Finish();
  // The updater's last line has no line end yet (after Finish: nothing ends it).
  bool LineOpen() const { return lineOpen_; }

 private:
  // Shared with the writer, which may outlive this object when its write
  // never returns.
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> backlog;
    size_t backlogBytes = 0;
    unsigned long long droppedBytes = 0;
    bool finished = false;   // no more blocks come
    bool cancelled = false;  // a stuck write was cancelled: write nothing more
    bool writerDone = false;
    std::exception_ptr failure;
    ConsoleTarget target;
    UniqueHandle thread;  // the writer, for CancelSynchronousIo
  };
  static void WriteUntilFinished(const std::shared_ptr<Shared>& shared);
  void Hand(std::string text);
  void FinishWriter();

  ConsoleStream& out_;
  ToolOutputUtf8 text_;
  std::shared_ptr<Shared> shared_;
  bool lineOpen_ = false;  // of the text handed on last, shown or dropped
  bool finishCalled_ = false;
  std::thread writer_;  // last: started once the rest is built
};
