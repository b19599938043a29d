#include "shell/main_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <vector>

#include <spdlog/spdlog.h>

#include "docks/device_list.h"
#include "docks/hotplug.h"
#include "shell/globals.h"
#include "shell/menus.h"
#include "shell/ui_text.h"
#include "shell/win_handles.h"
#include "update/fw_download.h"
#include "update/update_lock.h"

namespace {

void CreateStatusBar(HWND window) {
  g_hStatusBar = CreateStatusWindowW(WS_CHILD | WS_VISIBLE, L"", window, IDC_STATUSBAR);
}

void LayOutChildren(HWND window) {
  RECT area{};
  GetClientRect(window, &area);
  InflateRect(&area, -LIST_MARGIN, -LIST_MARGIN);
  area.bottom -= STATUS_BAR_ROOM;
  if (g_hListView) {
    SetWindowPos(g_hListView, nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageW(g_hStatusBar, WM_SIZE, 0, 0);
}

// The keyboard's request (Shift+F10, the Menu key) comes with -1, -1.
bool IsKeyboardRequest(POINT screen) { return screen.x == -1 && screen.y == -1; }

// The row the menu is for and where it opens: under the pointer for the
// mouse, under the first selected row for the keyboard. False: no menu.
bool FindMenuRow(POINT& screen) {
  if (IsKeyboardRequest(screen)) {
    const int row = ListNextSelectedRow(g_hListView, -1);
    if (row == -1) return false;
    RECT bounds{};
    bounds.left = LVIR_BOUNDS;
    SendMessageW(g_hListView, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&bounds));
    screen = POINT{bounds.left, bounds.bottom};
    ClientToScreen(g_hListView, &screen);
    return true;
  }
  LVHITTESTINFO hit{};
  hit.pt = screen;
  ScreenToClient(g_hListView, &hit.pt);
  SendMessageW(g_hListView, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
  return hit.iItem != -1;
}

void ShowRowContextMenu(HWND window, LPARAM lParam) {
  POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  if (!FindMenuRow(screen)) return;

  const int selected = static_cast<int>(SendMessageW(g_hListView, LVM_GETSELECTEDCOUNT, 0, 0));
  const std::vector<std::wstring>& labels = g_ContextMenuTexts.at(LanguageId(SelectUiLanguage()));

  UniqueMenu menu(CreatePopupMenu());
  AppendMenuW(menu.Get(), MF_STRING, IDM_COPY_INFO, labels[0].c_str());
  if (selected == 1) {
    AppendMenuW(menu.Get(), MF_SEPARATOR, 0, L"");
    AppendMenuW(menu.Get(), MF_STRING, IDM_FW_DOWNLOAD, labels[1].c_str());
  }
  TrackPopupMenuEx(menu.Get(), TPM_RIGHTBUTTON, screen.x, screen.y, window, nullptr);
}

void RunShutdownSequence() {
  spdlog::info("QuitApp\n\n");
  UnregisterDeviceNotification(g_hDevNotify);
  PostQuitMessage(0);
}

void DispatchCommand(HWND window, UINT command) {
  switch (command) {
    case IDM_REFRESH:
      RefreshDeviceList();
      break;
    case IDM_EXIT:
      RunShutdownSequence();
      break;
    case IDM_TOPMOST:
      ToggleTopmost(window);
      break;
    case IDM_ABOUT:
      ShowAbout(window);
      break;
    case IDM_COPY_INFO:
      spdlog::info("CopySelectItemInfo");
      CopySelectItemInfo();
      break;
    case IDM_FW_DOWNLOAD:
      FWDownload(window);
      break;
    default:
      break;
  }
}

}  // namespace

void RefreshDeviceList() {
  spdlog::info("RefreshDeviceList");
  ListEmpty(g_hListView);
  UpdateWindow(g_hListView);
  FillDataToListView();
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateStatusBar(window);
      return 0;
    case WM_DESTROY:
      RunShutdownSequence();
      return 0;
    case WM_SIZE:
      LayOutChildren(window);
      return 0;
    case WM_GETMINMAXINFO: {
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize.x = MIN_TRACK_WIDTH;
      limits->ptMinTrackSize.y = MIN_TRACK_HEIGHT;
      return 0;
    }
    case WM_CONTEXTMENU:
      ShowRowContextMenu(window, lParam);
      return 0;
    case WM_COMMAND:
      DispatchCommand(window, LOWORD(wParam));
      return 0;
    case WM_DEVICECHANGE:
      return HandleDeviceChange(wParam, lParam);
    case WM_QUERYENDSESSION:
      // Ending the session mid-flash can leave the dock without firmware.
      if (UpdateRunning()) {
        spdlog::info("WM_QUERYENDSESSION refused: firmware update in progress");
        return FALSE;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}
