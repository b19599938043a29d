#pragma once
// Helpers shared by the Windows tests.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Reads a whole file as bytes (empty if missing).
std::string ReadFileBytes(const std::wstring& path);
// Lines of basic-log.txt in the working directory, split on CRLF, or of the given file.
std::vector<std::string> ReadLogLines(const std::wstring& path = L"basic-log.txt");
// The messages of the log lines ("[time] [logger] [level] message" -> "level message").
std::vector<std::string> LogMessages(const std::wstring& path = L"basic-log.txt");
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Writes a firmware image: `signature` then version bytes 4-7 (shown as
// version[0].version[1]...), then at offset 16 the stand-in's script if any,
// filled up to exactly `size` bytes.
void WriteImage(const std::wstring& path, size_t size, const std::string& script = "",
                const std::string& signature = "FWCT", const unsigned char (&version)[4] = {1, 3, 0, 0});

// Pumps this thread's messages until the predicate holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Waits (without pumping) until the predicate holds or the time is up.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Folder of the running test executable, with a trailing backslash.
std::wstring ExecutableFolder();
// The build folder's path as Wine sees it (VARNOCK_TEST_BIN), with a trailing backslash.
std::wstring BuildFolder();
// A fresh empty folder under the working directory.
std::wstring FreshFolder(const std::wstring& name);

// Text of CF_UNICODETEXT on the clipboard; false if none.
bool ReadClipboardText(std::wstring& text);

// Visible top-level windows of a class ("#32770" for dialogs and message boxes) owned by the given thread (0: any).
std::vector<HWND> FindThreadWindows(DWORD threadId, const wchar_t* className);
std::wstring WindowText(HWND window);
// The text of a message box (its static control 0xFFFF).
std::wstring MessageBoxText(HWND box);

// Starts a program; returns its process handle (closed by the caller) and id.
struct ChildProcess {
  HANDLE process = nullptr;
  DWORD id = 0;
};
// With output files, the child's standard output and error go there (created afresh).
ChildProcess StartProcess(const std::wstring& commandLine, const std::wstring& workingDir = L"",
                          const std::wstring& outputFile = L"", const std::wstring& errorFile = L"");
// Exit code after waiting, or STILL_ACTIVE on time-out.
DWORD WaitForExit(HANDLE process, DWORD milliseconds);

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

}  // namespace testsupport
