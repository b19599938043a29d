#pragma once
// Small owners for Win32 resources, so every path releases what it took.
#include <windows.h>

#include <utility>

// An owner for a Win32 resource that one call releases. Traits names the
// type, says which values hold nothing and releases a value.
template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  explicit UniqueResource(Value value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueResource() { Reset(); }

  Value Get() const { return value_; }
  // For calls that return the resource through a pointer.
  Value* Receive() {
    Reset();
    return &value_;
  }
  explicit operator bool() const { return Traits::Holds(value_); }
  // Hands the resource over (to a window, a parent menu, the clipboard).
  Value Release() { return std::exchange(value_, Value{}); }
  void Reset(Value value = Value{}) {
    if (Traits::Holds(value_)) Traits::Free(value_);
    value_ = value;
  }

 private:
  Value value_{};
};

// Kernel handles: both null and INVALID_HANDLE_VALUE hold nothing.
struct KernelHandleTraits {
  using Value = HANDLE;
  static bool Holds(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Free(HANDLE handle) { CloseHandle(handle); }
};

struct MenuTraits {
  using Value = HMENU;
  static bool Holds(HMENU menu) { return menu != nullptr; }
  static void Free(HMENU menu) { DestroyMenu(menu); }
};

struct GlobalMemoryTraits {
  using Value = HGLOBAL;
  static bool Holds(HGLOBAL memory) { return memory != nullptr; }
  static void Free(HGLOBAL memory) { GlobalFree(memory); }
};

// Memory the system hands out with LocalAlloc (security descriptors among it).
struct LocalMemoryTraits {
  using Value = HLOCAL;
  static bool Holds(HLOCAL memory) { return memory != nullptr; }
  static void Free(HLOCAL memory) { LocalFree(memory); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueLocal = UniqueResource<LocalMemoryTraits>;
using UniqueMenu = UniqueResource<MenuTraits>;
using UniqueGlobal = UniqueResource<GlobalMemoryTraits>;

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

// A window's device context for the lifetime of the object.
class UniqueWindowDc {
 public:
  explicit UniqueWindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
  UniqueWindowDc(const UniqueWindowDc&) = delete;
  UniqueWindowDc& operator=(const UniqueWindowDc&) = delete;
  ~UniqueWindowDc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  HDC Get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// A font selected into a device context; the previous one comes back.
class SelectedFont {
 public:
  SelectedFont(HDC dc, HFONT font) : dc_(dc), previous_(SelectObject(dc, font)) {}
  SelectedFont(const SelectedFont&) = delete;
  SelectedFont& operator=(const SelectedFont&) = delete;
  ~SelectedFont() {
    if (previous_) SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};
