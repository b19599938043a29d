#include "tests/support/test_support.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace testsupport {

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
  file << bytes;
}

void WriteImage(const std::wstring& path, size_t size, const std::string& script, const std::string& signature,
                const unsigned char (&version)[4]) {
  std::string bytes = signature;
  for (int i = 3; i >= 0; --i) bytes += static_cast<char>(version[i]);
  bytes.resize(16, '\0');
  if (!script.empty()) bytes += "STANDIN\n" + script + '\0';
  while (bytes.size() < size) bytes += static_cast<char>('a' + bytes.size() % 26);
  bytes.resize(size);
  testsupport::WriteFileBytes(path, bytes);
}

std::vector<std::string> ReadLogLines(const std::wstring& path) {
  const std::string text = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> LogMessages(const std::wstring& path) {
  std::vector<std::string> messages;
  for (const std::string& line : ReadLogLines(path)) {
    // "[date time] [logger] [level] message"
    const size_t logger = line.find("] [logger] [");
    if (logger == std::string::npos) {
      if (!messages.empty()) messages.back() += "\n" + line;  // continuation of a multi-line message
      continue;
    }
    const size_t levelStart = logger + 12;
    const size_t levelEnd = line.find("] ", levelStart);
    if (levelEnd == std::string::npos) continue;
    messages.push_back(line.substr(levelStart, levelEnd - levelStart) + " " + line.substr(levelEnd + 2));
  }
  return messages;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::wstring ExecutableFolder() {
  wchar_t path[1024] = {};
  GetModuleFileNameW(nullptr, path, 1024);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring BuildFolder() {
  wchar_t value[1024] = {};
  GetEnvironmentVariableW(L"VARNOCK_TEST_BIN", value, 1024);
  std::wstring unixPath = value;
  // Wine maps the Unix root to drive Z:.
  std::wstring path = L"Z:" + unixPath;
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring FreshFolder(const std::wstring& name) {
  wchar_t current[1024] = {};
  GetCurrentDirectoryW(1024, current);
  const std::wstring folder = std::wstring(current) + L"\\" + name;
  // Clear what an earlier run left.
  std::wstring pattern = folder + L"\\*";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\";
}

bool ReadClipboardText(std::wstring& text) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (OpenClipboard(nullptr)) {
      bool ok = false;
      if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
          text = chars;
          ok = true;
          GlobalUnlock(data);
        }
      }
      CloseClipboard();
      return ok;
    }
    Sleep(20);
  }
  return false;
}

namespace {
struct EnumState {
  const wchar_t* className;
  std::vector<HWND> found;
};
BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* state = reinterpret_cast<EnumState*>(param);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (IsWindowVisible(window) && (state->className == nullptr || wcscmp(name, state->className) == 0)) {
    state->found.push_back(window);
  }
  return TRUE;
}
}  // namespace

std::vector<HWND> FindThreadWindows(DWORD threadId, const wchar_t* className) {
  EnumState state{className, {}};
  if (threadId != 0) {
    EnumThreadWindows(threadId, CollectWindow, reinterpret_cast<LPARAM>(&state));
  } else {
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&state));
  }
  return state.found;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

std::wstring MessageBoxText(HWND box) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 1024);
  return text;
}

namespace {
HANDLE InheritableOutputFile(const std::wstring& path) {
  if (path.empty()) return nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

ChildProcess StartProcess(const std::wstring& commandLine, const std::wstring& workingDir,
                          const std::wstring& outputFile, const std::wstring& errorFile) {
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  HANDLE output = InheritableOutputFile(outputFile);
  HANDLE error = InheritableOutputFile(errorFile);
  const bool redirected = output != nullptr || error != nullptr;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = error;
  }
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, redirected, 0, nullptr,
                                      workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &info);
  if (output != nullptr) CloseHandle(output);
  if (error != nullptr) CloseHandle(error);
  if (!started) return {};
  CloseHandle(info.hThread);
  return ChildProcess{info.hProcess, info.dwProcessId};
}

DWORD WaitForExit(HANDLE process, DWORD milliseconds) {
  if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

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

}  // namespace testsupport
