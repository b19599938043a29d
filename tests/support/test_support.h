#pragma once
// Helpers shared by the Windows tests.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/win_handles.h"
#include "tests/support/log_reader.h"
#include "tests/support/probe_support.h"

namespace testsupport {

// What the updater tool prints when it ends well, and when it has failed.
inline const std::string TOOL_COMPLETED = "Firmware install (phase-1) completed";
inline const std::string TOOL_FAILED = "Firmware update failed";

// A named event, unset, that the stand-in updater waits for: "waitevent NAME"
// holds the tool itself, "linger MS NAME" the helper it leaves behind, until
// the test sets it (or the time is up).
class ToolGate {
 public:
  explicit ToolGate(const std::wstring& what);
  ToolGate(const ToolGate&) = delete;
  ToolGate& operator=(const ToolGate&) = delete;
  std::string Script() const;                             // "waitevent NAME\n"
  std::string LingerScript(unsigned milliseconds) const;  // "linger MS NAME\n"
  HANDLE Get() const { return event_.Get(); }
  const std::wstring& Name() const { return name_; }
  void Open() const { SetEvent(event_.Get()); }

 private:
  std::wstring name_;
  UniqueHandle event_;
};

// True when this run has a Chinese UI language (VARNOCK_UI_LANG=2052).
bool ChineseRun();

// Writes a firmware image: `signature` then version bytes 4-7 (shown as
// version[0].version[1]...), then the stand-in's script if any, filled up to
// exactly `size` bytes.
void WriteImage(const std::wstring& path, size_t size, const std::string& script = "",
                const std::string& signature = "FWCT", const unsigned char (&version)[4] = {1, 3, 0, 0});

// A file's SHA-256 in lower-case hex, through CNG (not the program's own
// CryptoAPI path); empty when the file cannot be read.
std::string FileSha256(const std::wstring& path);

// Dispatches every message waiting for this thread.
void PumpMessages();
// Pumps this thread's messages until the predicate holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Waits (without pumping) until the predicate holds or the time is up.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Folder of the running test executable, with a trailing backslash.
std::wstring ExecutableFolder();
// The working directory when the process began: the open-file dialog moves
// the current one, the log and the scratch folders stay there.
const std::wstring& StartFolder();
// Wine's path of a file named on the Unix side.
std::wstring WinePath(const std::string& unixPath);
// The build folder's path as Wine sees it (VARNOCK_TEST_BIN), with a trailing backslash.
std::wstring BuildFolder();
// A fresh empty folder under the working directory.
std::wstring FreshFolder(const std::wstring& name);

// Visible top-level windows of a class ("#32770" for dialogs and message boxes) owned by the given thread (0: any).
std::vector<HWND> FindThreadWindows(DWORD threadId, const wchar_t* className);
std::wstring WindowText(HWND window);
// Expects the window at the given size, centred on the screen.
void ExpectCentredOnScreen(HWND window, int width, int height);

// What a message box shows, read through its controls.
struct MessageBoxSeen {
  std::wstring caption;
  std::wstring text;         // its static 0xFFFF
  HICON icon = nullptr;      // the icon shown, null when none is visible
  HWND owner = nullptr;
  std::vector<int> buttons;  // ids of the visible buttons
};
bool IsMessageBox(HWND window);
// Reads the box, then presses its OK button.
MessageBoxSeen AnswerMessageBox(HWND box);

// A started program: its process handle (closed by the caller) and id, and
// when asked for, the write end of its standard input (closed by the caller).
struct ChildProcess {
  HANDLE process = nullptr;
  DWORD id = 0;
  HANDLE input = nullptr;
};
// With output files, the child's standard output and error go there (created afresh).
ChildProcess StartProcess(const std::wstring& commandLine, const std::wstring& workingDir = L"",
                          const std::wstring& outputFile = L"", const std::wstring& errorFile = L"",
                          bool withInput = false);
// Exit code after waiting, or STILL_ACTIVE on time-out.
DWORD WaitForExit(HANDLE process, DWORD milliseconds);
// Runs a program to its end: its exit code, or STILL_ACTIVE once `milliseconds`
// have passed (it is ended then). A program that does not start fails the test.
DWORD RunProcess(const std::wstring& commandLine, DWORD milliseconds, const std::wstring& workingDir = L"",
                 const std::wstring& outputFile = L"", const std::wstring& errorFile = L"");

}  // namespace testsupport
