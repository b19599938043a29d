#pragma once
// What the tests share with the small programs they start (probes, the
// stand-in updater tool): system libraries only, no GoogleTest.
#include <windows.h>

#include <string>

namespace testsupport {

// The program's main window, as the tests and the probes find it.
inline constexpr wchar_t APP_CLASS[] = L"VarnockFWUpdate";
inline constexpr wchar_t APP_TITLE[] = L"VarnockFirmwareUpdate";

// The text of a message box is its static 0xFFFF; the file-name box of
// Wine's open-file dialog is cmb13 (this layout is Wine's own).
inline constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;
inline constexpr int WINE_FILE_NAME_ID = 0x47c;

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

// A whole file as bytes (empty if missing), and a file made of the given bytes.
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);

std::wstring ClassName(HWND window);

// Writes the bytes as they are to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
void WriteStd(DWORD which, const std::string& bytes);

// The program under test may hold the clipboard for a moment: retries for about two seconds.
bool OpenClipboardPatiently(HWND owner = nullptr);

// Exit codes of the probes that read the clipboard.
inline constexpr int CLIPBOARD_NO_TEXT = 2;
inline constexpr int CLIPBOARD_BUSY = 3;
// CF_UNICODETEXT of the clipboard, never read past its memory block, whose
// size goes to *blockBytes. 0, CLIPBOARD_NO_TEXT or CLIPBOARD_BUSY.
int ReadClipboardText(std::wstring& text, SIZE_T* blockBytes = nullptr);

}  // namespace testsupport
