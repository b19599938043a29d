#include "shell/command_line/console.h"

#include "base/portable/text_conversion.h"

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
  if (handle_ == nullptr || text.empty() || givenUp_) return;
  if (console_) {
    DWORD written = 0;
    WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = WideToUtf8(text);
  WriteBytes(bytes.data(), bytes.size());
}

void ConsoleStream::WriteUtf8(const std::string& text) {
  if (handle_ == nullptr || text.empty() || givenUp_) return;
  if (console_) {
    Write(Utf8ToWide(text));
    return;
  }
  WriteBytes(text.data(), text.size());
}

ConsoleTarget ConsoleStream::Target() const {
  ConsoleTarget target;
  HANDLE duplicate = nullptr;
  if (handle_ != nullptr && !givenUp_ &&
      DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    target.handle.Reset(duplicate);
    target.console = console_;
  }
  return target;
}

size_t WriteUtf8To(const ConsoleTarget& target, const std::string& text) {
  if (!target.handle) return text.size();  // nowhere to go: nothing is lost by not writing it
  if (target.console) {
    const std::wstring wide = Utf8ToWide(text);
    DWORD written = 0;
    if (!WriteConsoleW(target.handle.Get(), wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) ||
        written < wide.size()) {
      return 0;
    }
    return text.size();
  }
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!WriteFile(target.handle.Get(), text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
        written == 0) {
      break;
    }
    done += written;
  }
  return done;
}

void ConsoleStream::WriteBytes(const char* data, size_t length) {
  if (handle_ == nullptr || givenUp_) return;
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(length), &written, nullptr) || written == 0) return;
    data += written;
    length -= written;
  }
}
