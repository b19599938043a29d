#pragma once
// Where the command line's text goes. The program is a GUI program, so it has
// no console of its own: a redirected standard handle (file or pipe) gets
// UTF-8 bytes; otherwise the console of the program that started it, if any,
// gets the text through WriteConsoleW; otherwise it goes nowhere.
#include <windows.h>

#include <string>
#include <string_view>

#include "base/win_handles.h"

class ConsoleStream {
 public:
  // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
  explicit ConsoleStream(DWORD which);
  void Write(const std::wstring& text);
  // UTF-8 text, as the updater's output becomes once decoded.
  void WriteUtf8(const std::string& text);

 private:
  HANDLE handle_ = nullptr;
  void WriteBytes(const char* data, size_t length);

  UniqueHandle opened_;  // CONOUT$ of the parent's console, when we attached to it
  bool console_ = false;
};
