#pragma once
// What keeps a command-line flash from being cut short: logoff and shutdown
// are held through a hidden top-level window (the command line has no window
// of its own, and only top-level windows are asked), and an attached
// console's Ctrl+C, Ctrl+Break and close are refused. Both last as long as
// the object; create it before the updater starts, end it when it has ended.
#include <windows.h>

#include <exception>
#include <functional>
#include <thread>

#include "base/win_handles.h"

class FlashHold {
 public:
  // `tellUser` writes one line to standard error when a console signal is refused.
  explicit FlashHold(std::function<void(const wchar_t*)> tellUser);
  FlashHold(const FlashHold&) = delete;
  FlashHold& operator=(const FlashHold&) = delete;
  ~FlashHold();
  // After the hold: throws what its window's thread threw, if anything.
  void RethrowFailure() const;

 private:
  void RunHoldWindow();

  std::function<void(const wchar_t*)> tellUser_;
  std::thread thread_;
  UniqueHandle ready_;
  DWORD threadId_ = 0;  // written before ready_ is set
  std::exception_ptr failure_;  // written by the thread, read after its join
};

// The hidden window's class, so others (and tests) can find it.
inline constexpr wchar_t FLASH_HOLD_CLASS[] = L"VarnockFWUpdate.FlashHold";
inline constexpr wchar_t FLASH_NOT_INTERRUPTIBLE[] = L"A firmware update is running; it cannot be interrupted.\r\n";
