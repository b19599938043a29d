#pragma once
// Taskbar progress for work of unknown length.
#include <windows.h>

// The taskbar button shows work of unknown length while it lives; failures
// (no taskbar, a shell without the interface) are ignored.
class TaskbarBusy {
 public:
  explicit TaskbarBusy(HWND window);
  ~TaskbarBusy();
  TaskbarBusy(const TaskbarBusy&) = delete;
  TaskbarBusy& operator=(const TaskbarBusy&) = delete;

 private:
  HWND window_;
  void* taskbar_ = nullptr;  // ITaskbarList3, kept out of this header
};
