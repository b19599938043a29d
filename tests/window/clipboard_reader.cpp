// A second process for the clipboard tests.
//   clipboard_reader text   prints "<GlobalSize of CF_UNICODETEXT>\n<the text as UTF-8>";
//                           exit 0, 2 when there is no Unicode text, 3 when the clipboard stays busy
//   clipboard_reader hold   opens the clipboard, prints "held\n", keeps it open until
//                           standard input ends, then closes it; exit 0, 3 when it cannot open it
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

constexpr int EXIT_NO_TEXT = 2;
constexpr int EXIT_BUSY = 3;
constexpr int EXIT_USAGE = 4;

void WriteOut(const std::string& bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

// The program under test may hold the clipboard for a moment: retry for a while.
bool OpenClipboardPatiently(HWND owner = nullptr) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (OpenClipboard(owner)) return true;
    Sleep(20);
  }
  return false;
}

int PrintText() {
  if (!OpenClipboardPatiently()) return EXIT_BUSY;
  int result = EXIT_NO_TEXT;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    const SIZE_T bytes = GlobalSize(data);
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      // Never past the block, even if it lacks its terminator.
      const size_t length = wcsnlen(chars, bytes / sizeof(wchar_t));
      WriteOut(std::to_string(bytes) + "\n" + Utf8(chars, length));
      GlobalUnlock(data);
      result = 0;
    }
  }
  CloseClipboard();
  return result;
}

int Hold() {
  // Held through a window, as programs hold it (Wine lets a second
  // window-less opener in while a window-less opener holds it).
  HWND window = CreateWindowExW(0, L"STATIC", L"clipboard holder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
  if (!OpenClipboardPatiently(window)) return EXIT_BUSY;
  WriteOut("held\n");
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
  }
  CloseClipboard();
  DestroyWindow(window);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"text") == 0) return PrintText();
  if (argc == 2 && std::wcscmp(argv[1], L"hold") == 0) return Hold();
  return EXIT_USAGE;
}
