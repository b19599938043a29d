#pragma once
// Where the command line's text goes. The program is a GUI program, so it has
// no console of its own: a redirected standard handle (file or pipe) gets
// UTF-8 bytes; otherwise the console of the program that started it, if any,
// gets the text through WriteConsoleW; otherwise it goes nowhere.
#include <windows.h>

#include <string>
#include <string_view>

#include "base/win_handles.h"

// Where a stream writes, owned apart from the stream: a writer thread that
// may outlive the stream writes through its own.
struct ConsoleTarget {
  UniqueHandle handle;  // a duplicate of the stream's handle; none: nowhere
  bool console = false;
};

// UTF-8 text to the target; the bytes of `text` that were written (all of
// them, unless a write failed or was cancelled).
size_t WriteUtf8To(const ConsoleTarget& target, const std::string& text);

class ConsoleStream {
 public:
  // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
  explicit ConsoleStream(DWORD which);
  void Write(const std::wstring& text);
  // UTF-8 text, as the updater's output becomes once decoded.
  void WriteUtf8(const std::string& text);
  // A target of its own for another thread.
  ConsoleTarget Target() const;
  // The stream stays stuck (a pipe nobody reads): from now on nothing more
  // is written to it, and no write waits for it.
  void GiveUp() { givenUp_ = true; }
  bool GivenUp() const { return givenUp_; }
  // Both streams lead to the same handle (2>&1).
  bool SameTarget(const ConsoleStream& other) const { return handle_ != nullptr && handle_ == other.handle_; }

 private:
  HANDLE handle_ = nullptr;
  void WriteBytes(const char* data, size_t length);

  UniqueHandle opened_;  // CONOUT$ of the parent's console, when we attached to it
  bool console_ = false;
  bool givenUp_ = false;
};
