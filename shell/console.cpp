#include "shell/console.h"

#include "base/text_conversion.h"

namespace {

bool IsUsable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

}  // namespace

ConsoleStream::ConsoleStream(DWORD which) {
  HANDLE standard = GetStdHandle(which);
  DWORD mode = 0;
  if (IsUsable(standard)) {
    handle_ = standard;
    console_ = GetConsoleMode(standard, &mode) != FALSE;
    return;
  }
  // Started from a console without redirection: write to that console. A
  // second stream finds the process attached already.
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED) return;
  opened_.Reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
  if (!opened_) return;
  handle_ = opened_.Get();
  console_ = GetConsoleMode(handle_, &mode) != FALSE;
}

void ConsoleStream::Write(const std::wstring& text) {
  if (handle_ == nullptr || text.empty()) return;
  if (console_) {
    DWORD written = 0;
    WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = WideToUtf8(text);
  WriteBytes(bytes.data(), bytes.size());
}

void ConsoleStream::WriteUtf8(const std::string& text) {
  if (handle_ == nullptr || text.empty()) return;
  if (console_) {
    Write(Utf8ToWide(text));
    return;
  }
  WriteBytes(text.data(), text.size());
}

void ConsoleStream::WriteBytes(const char* data, size_t length) {
  if (handle_ == nullptr) return;
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(length), &written, nullptr) || written == 0) return;
    data += written;
    length -= written;
  }
}
