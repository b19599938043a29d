// The second yardstick for start-up time: the program's window built from raw
// Win32 calls in the same order and with nothing else (no logging, no dock
// query, no C++ library beyond what the compiler adds). It carries the same
// resources (common controls 6 manifest, icon) and imports the same system
// DLLs, has the same status bar, three-menu bar, four-column list view with
// one row, layout and centring. Whatever start-up time it needs is what Wine
// and the common controls charge for that window; the gap between it and the
// program is the program's own cost.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlwapi.h>

#include "bench/yardstick_loop.h"

namespace {

constexpr int kWidth = 900;
constexpr int kHeight = 520;
constexpr int kListId = 1001;  // the probe counts the rows of this control
constexpr int kStatusId = 1;
constexpr int kMargin = 15;
constexpr int kStatusRoom = 20;

HWND g_list = nullptr;
HWND g_status = nullptr;

void LayOut(HWND window) {
  RECT area{};
  GetClientRect(window, &area);
  InflateRect(&area, -kMargin, -kMargin);
  area.bottom -= kStatusRoom;
  if (g_list) {
    SetWindowPos(g_list, nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageW(g_status, WM_SIZE, 0, 0);
}

LRESULT CALLBACK SameUiWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      g_status = CreateStatusWindowW(WS_CHILD | WS_VISIBLE, L"", window, kStatusId);
      return 0;
    case WM_SIZE:
      LayOut(window);
      return 0;
    case WM_COMMAND:
      // Never sent at start-up: keeps the file dialog's and the path helpers'
      // DLLs among the imports, as they are in the program.
      if (LOWORD(wParam) == 1 && PathFileExistsW(L"firmware.bin")) {
        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        GetOpenFileNameW(&dialog);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void AddMenuBar(HWND window) {
  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, 1, L"Refresh");
  AppendMenuW(file, MF_SEPARATOR, 0, L"");
  AppendMenuW(file, MF_STRING, 2, L"Exit");
  HMENU settings = CreatePopupMenu();
  AppendMenuW(settings, MF_STRING | MF_UNCHECKED, 3, L"Topmost");
  HMENU help = CreatePopupMenu();
  AppendMenuW(help, MF_STRING, 4, L"About");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"File");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), L"Settings");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"Help");
  SetMenu(window, bar);
}

void AddListWithRow(HWND window, HINSTANCE instance) {
  RECT area{};
  GetClientRect(window, &area);
  InflateRect(&area, -kMargin, -kMargin);
  g_list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, nullptr,
                           WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | LVS_NOSORTHEADER | LVS_REPORT, area.left, area.top,
                           area.right - area.left, area.bottom - area.top, window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), instance, nullptr);
  SendMessageW(g_list, LVM_SETTEXTCOLOR, 0, RGB(10, 10, 160));
  SendMessageW(g_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  const wchar_t* const titles[] = {L"Manufacturer", L"Product", L"Serial number", L"Firmware version"};
  const wchar_t* const cells[] = {L"Varnock", L"Varnock USB-C Dock", L"VN-2026-0001", L"1.2.3.4"};
  const int widths[] = {150, 200, 300, 150};
  for (int i = 0; i < 4; ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = widths[i];
    column.pszText = const_cast<wchar_t*>(titles[i]);
    SendMessageW(g_list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.pszText = const_cast<wchar_t*>(cells[0]);
  SendMessageW(g_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  for (int i = 1; i < 4; ++i) {
    item.iSubItem = i;
    item.pszText = const_cast<wchar_t*>(cells[i]);
    SendMessageW(g_list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  WNDCLASSW windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = SameUiWndProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"SameUiWindow";
  if (!RegisterClassW(&windowClass)) return 1;
  HWND window = CreateWindowExW(WS_EX_APPWINDOW, L"SameUiWindow", L"SameUiWindow", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, kWidth, kHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  AddMenuBar(window);
  AddListWithRow(window, instance);

  RECT frame{};
  GetWindowRect(window, &frame);
  SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (frame.right - frame.left)) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (frame.bottom - frame.top)) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  const int code = ShowAndRunMessageLoop(window);
  CoUninitialize();
  return code;
}
