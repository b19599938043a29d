// A second process for the clipboard tests.
//   clipboard_reader text   prints "<GlobalSize of CF_UNICODETEXT>\n<the text as UTF-8>";
//                           exit 0, 2 when there is no Unicode text, 3 when the clipboard stays busy
//   clipboard_reader hold   opens the clipboard, prints "held\n", keeps it open until
//                           standard input ends, then closes it; exit 0, 3 when it cannot open it
#include <windows.h>

#include <cwchar>
#include <string>

#include "tests/support/probe_support.h"

namespace {

constexpr int EXIT_USAGE = 4;

int PrintText() {
  std::wstring text;
  SIZE_T bytes = 0;
  const int result = testsupport::ReadClipboardText(text, &bytes);
  if (result == 0) testsupport::WriteStd(STD_OUTPUT_HANDLE, std::to_string(bytes) + "\n" + testsupport::Utf8(text));
  return result;
}

int Hold() {
  // Held through a window, as programs hold it (Wine lets a second
  // window-less opener in while a window-less opener holds it).
  HWND window = CreateWindowExW(0, L"STATIC", L"clipboard holder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
  if (!testsupport::OpenClipboardPatiently(window)) return testsupport::CLIPBOARD_BUSY;
  testsupport::WriteStd(STD_OUTPUT_HANDLE, "held\n");
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
