// The yardstick for start-up time: the least a Win32 program does to show a
// window of the program's size (register a class, create, show, paint), built
// with the same toolchain and flags. It stays until it is closed, as ours does,
// so both are measured and ended the same way from outside.
#include <windows.h>

#include "bench/yardstick_loop.h"

namespace {

LRESULT CALLBACK MinimalWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = MinimalWndProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"MinimalWindow";
  if (!RegisterClassW(&windowClass)) return 1;
  HWND window = CreateWindowExW(WS_EX_APPWINDOW, L"MinimalWindow", L"MinimalWindow", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 900, 520, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  return ShowAndRunMessageLoop(window);
}
