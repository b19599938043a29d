#include "shell/window/clipboard.h"

#include <windows.h>

#include <cstring>

#include <spdlog/spdlog.h>

#include "base/win_handles.h"

void CopyTextToClipboard(HWND owner, const std::wstring& text) {
  spdlog::info("CopyTextToClipboard");
  ClipboardSession clipboard(owner);
  if (!clipboard.IsOpen()) return;
  if (!EmptyClipboard()) return;
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  UniqueGlobal memory(GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, bytes));
  if (!memory.Get()) return;
  {
    GlobalLockGuard lock(memory.Get());
    if (!lock.Data()) return;
    std::memcpy(lock.Data(), text.c_str(), bytes);
  }
  // The clipboard owns the memory only once SetClipboardData has taken it.
  if (SetClipboardData(CF_UNICODETEXT, memory.Get())) memory.Release();
}
