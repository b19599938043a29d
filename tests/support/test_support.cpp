#include "tests/support/test_support.h"

#include <bcrypt.h>

#include <gtest/gtest.h>

#include <thread>

#include "standins/updater_tool/firmware_image_layout.h"

namespace testsupport {

std::string FileSha256(const std::wstring& path) {
  const std::string bytes = ReadFileBytes(path);
  if (bytes.empty()) return {};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return {};
  unsigned char digest[32] = {};
  BCRYPT_HASH_HANDLE hash = nullptr;
  NTSTATUS status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  if (status >= 0) {
    status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                            static_cast<ULONG>(bytes.size()), 0);
    if (status >= 0) status = BCryptFinishHash(hash, digest, sizeof(digest), 0);
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (status < 0) return {};
  std::string hex;
  for (const unsigned char b : digest) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    hex += DIGITS[b >> 4];
    hex += DIGITS[b & 0x0F];
  }
  return hex;
}

ToolGate::ToolGate(const std::wstring& what)
    : name_(L"Local\\varnock-test-" + what + L"-" + std::to_wstring(GetCurrentProcessId())),
      event_(CreateEventW(nullptr, TRUE, FALSE, name_.c_str())) {}

std::string ToolGate::Script() const { return "waitevent " + Utf8(name_) + "\n"; }

std::string ToolGate::LingerScript(unsigned milliseconds) const {
  return "linger " + std::to_string(milliseconds) + " " + Utf8(name_) + "\n";
}

bool ChineseRun() {
  wchar_t value[16] = {};
  GetEnvironmentVariableW(L"VARNOCK_UI_LANG", value, 16);
  return std::wstring(value) == L"2052";
}

void WriteImage(const std::wstring& path, size_t size, const std::string& script, const std::string& signature,
                const unsigned char (&version)[4]) {
  std::string bytes = signature;
  for (int i = 3; i >= 0; --i) bytes += static_cast<char>(version[i]);
  bytes.resize(IMAGE_SCRIPT_OFFSET, '\0');
  if (!script.empty()) bytes += IMAGE_SCRIPT_MARK + script + '\0';
  while (bytes.size() < size) bytes += static_cast<char>('a' + bytes.size() % 26);
  bytes.resize(size);
  WriteFileBytes(path, bytes);
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    PumpMessages();
    Sleep(1);
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

const std::wstring& StartFolder() {
  static const std::wstring folder = [] {
    wchar_t current[1024] = {};
    GetCurrentDirectoryW(1024, current);
    return std::wstring(current);
  }();
  return folder;
}
// Taken before any test runs.
[[maybe_unused]] const std::wstring& g_startFolder = StartFolder();

std::wstring WinePath(const std::string& unixPath) {
  // Wine maps the Unix root to drive Z:.
  std::wstring path = L"Z:" + Wide(unixPath);
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::wstring BuildFolder() {
  wchar_t value[1024] = {};
  GetEnvironmentVariableW(L"VARNOCK_TEST_BIN", value, 1024);
  std::wstring path = WinePath(Utf8(value));
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

namespace {
struct EnumState {
  const wchar_t* className;
  std::vector<HWND> found;
};
BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* state = reinterpret_cast<EnumState*>(param);
  if (IsWindowVisible(window) && (state->className == nullptr || ClassName(window) == state->className)) {
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

void ExpectCentredOnScreen(HWND window, int width, int height) {
  RECT frame{};
  GetWindowRect(window, &frame);
  EXPECT_EQ(frame.right - frame.left, width);
  EXPECT_EQ(frame.bottom - frame.top, height);
  EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
}

namespace {

BOOL CALLBACK ReadBoxChild(HWND child, LPARAM param) {
  auto* seen = reinterpret_cast<MessageBoxSeen*>(param);
  if (!IsWindowVisible(child)) return TRUE;
  const std::wstring name = ClassName(child);
  if (_wcsicmp(name.c_str(), L"Button") == 0) seen->buttons.push_back(GetDlgCtrlID(child));
  const bool iconStatic = (GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
  if (_wcsicmp(name.c_str(), L"Static") == 0 && iconStatic && seen->icon == nullptr) {
    seen->icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
  }
  return TRUE;
}

}  // namespace

bool IsMessageBox(HWND window) { return GetDlgItem(window, MESSAGE_BOX_TEXT_ID) != nullptr; }

MessageBoxSeen AnswerMessageBox(HWND box) {
  MessageBoxSeen seen;
  seen.caption = WindowText(box);
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, MESSAGE_BOX_TEXT_ID, text, 1024);
  seen.text = text;
  seen.owner = GetWindow(box, GW_OWNER);
  EnumChildWindows(box, ReadBoxChild, reinterpret_cast<LPARAM>(&seen));
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return seen;
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
                          const std::wstring& outputFile, const std::wstring& errorFile, bool withInput) {
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  HANDLE output = InheritableOutputFile(outputFile);
  HANDLE error = InheritableOutputFile(errorFile);
  HANDLE input = nullptr;
  HANDLE inputWriter = nullptr;
  if (withInput) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    CreatePipe(&input, &inputWriter, &inherit, 0);
    // Only the child's end is inherited: it sees the end of its input once the writer is closed.
    SetHandleInformation(inputWriter, HANDLE_FLAG_INHERIT, 0);
  }
  const bool redirected = output != nullptr || error != nullptr || input != nullptr;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
  }
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, redirected, 0, nullptr,
                                      workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &info);
  const DWORD startError = GetLastError();
  for (HANDLE childEnd : {output, error, input}) {
    if (childEnd != nullptr) CloseHandle(childEnd);
  }
  if (!started) {
    if (inputWriter != nullptr) CloseHandle(inputWriter);
    SetLastError(startError);
    return {};
  }
  CloseHandle(info.hThread);
  return ChildProcess{info.hProcess, info.dwProcessId, inputWriter};
}

DWORD WaitForExit(HANDLE process, DWORD milliseconds) {
  if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

DWORD RunProcess(const std::wstring& commandLine, DWORD milliseconds, const std::wstring& workingDir,
                 const std::wstring& outputFile, const std::wstring& errorFile) {
  const ChildProcess child = StartProcess(commandLine, workingDir, outputFile, errorFile);
  if (child.process == nullptr) {
    const DWORD error = GetLastError();
    ADD_FAILURE() << "could not start " << Utf8(commandLine) << ": error " << error;
    return STILL_ACTIVE;
  }
  const DWORD code = WaitForExit(child.process, milliseconds);
  if (code == STILL_ACTIVE) TerminateProcess(child.process, 99);
  CloseHandle(child.process);
  return code;
}

}  // namespace testsupport
