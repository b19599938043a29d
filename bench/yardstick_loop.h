#pragma once
// The end both start-up yardsticks share with the program: show, paint, and
// run the message loop until WM_QUIT.
#include <windows.h>

inline int ShowAndRunMessageLoop(HWND window) {
  ShowWindow(window, SW_SHOWDEFAULT);
  UpdateWindow(window);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}
