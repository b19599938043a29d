#include "tests/support/probe_support.h"

#include <cwchar>
#include <fstream>
#include <iterator>

namespace testsupport {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
  file << bytes;
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

void WriteStd(DWORD which, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool OpenClipboardPatiently(HWND owner) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (OpenClipboard(owner)) return true;
    Sleep(20);
  }
  return false;
}

int ReadClipboardText(std::wstring& text, SIZE_T* blockBytes) {
  if (!OpenClipboardPatiently()) return CLIPBOARD_BUSY;
  int result = CLIPBOARD_NO_TEXT;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    const SIZE_T bytes = GlobalSize(data);
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      // Never past the block, even if it lacks its terminator.
      text.assign(chars, wcsnlen(chars, bytes / sizeof(wchar_t)));
      if (blockBytes != nullptr) *blockBytes = bytes;
      GlobalUnlock(data);
      result = 0;
    }
  }
  CloseClipboard();
  return result;
}

}  // namespace testsupport
