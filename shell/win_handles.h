#pragma once
// Small owners for Win32 resources, so every path releases what it took.
#include <windows.h>

#include <utility>

// A kernel handle closed with CloseHandle (null and INVALID_HANDLE_VALUE are empty).
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  HANDLE* Receive() {
    Reset();
    return &handle_;
  }
  explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() { return std::exchange(handle_, nullptr); }
  void Reset(HANDLE handle = nullptr) {
    if (*this) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A menu destroyed with DestroyMenu unless ownership passed to a window or a parent menu.
class UniqueMenu {
 public:
  explicit UniqueMenu(HMENU menu) : menu_(menu) {}
  UniqueMenu(const UniqueMenu&) = delete;
  UniqueMenu& operator=(const UniqueMenu&) = delete;
  ~UniqueMenu() {
    if (menu_) DestroyMenu(menu_);
  }
  HMENU Get() const { return menu_; }
  HMENU Release() { return std::exchange(menu_, nullptr); }

 private:
  HMENU menu_;
};

// Global memory freed with GlobalFree unless handed over (to the clipboard).
class UniqueGlobal {
 public:
  explicit UniqueGlobal(HGLOBAL memory) : memory_(memory) {}
  UniqueGlobal(const UniqueGlobal&) = delete;
  UniqueGlobal& operator=(const UniqueGlobal&) = delete;
  ~UniqueGlobal() {
    if (memory_) GlobalFree(memory_);
  }
  HGLOBAL Get() const { return memory_; }
  HGLOBAL Release() { return std::exchange(memory_, nullptr); }

 private:
  HGLOBAL memory_;
};

// GlobalLock for the lifetime of the object.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL memory) : memory_(memory), data_(GlobalLock(memory)) {}
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
  ~GlobalLockGuard() {
    if (data_) GlobalUnlock(memory_);
  }
  void* Data() const { return data_; }

 private:
  HGLOBAL memory_;
  void* data_;
};

// The clipboard, open for the lifetime of the object if OpenClipboard succeeded.
class ClipboardSession {
 public:
  explicit ClipboardSession(HWND owner) : open_(OpenClipboard(owner) != FALSE) {}
  ClipboardSession(const ClipboardSession&) = delete;
  ClipboardSession& operator=(const ClipboardSession&) = delete;
  ~ClipboardSession() {
    if (open_) CloseClipboard();
  }
  bool IsOpen() const { return open_; }

 private:
  bool open_;
};
