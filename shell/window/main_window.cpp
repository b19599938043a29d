#include "shell/window/main_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "shell/window/device_list.h"
#include "docks/portable/dock_count.h"
#include "docks/dock_guard.h"
#include "shell/window/hotplug.h"
#include "resources/resource.h"
#include "shell/window/flash_watch.h"
#include "shell/window/menus.h"
#include "base/portable/ui_text.h"
#include "base/win_handles.h"
#include "shell/window/flash_command.h"
#include "shell/window/update_lock.h"

namespace {

// The list shows no dock because a flash kept it from being read (or the
// dock stayed busy): it is read again once the flash has ended.
bool g_bListAwaitsFlashEnd = false;
// The next wait before the list tries a busy dock again.
UINT g_busyRetryMs = BUSY_RETRY_MS;
// A dock arrived or left while an update ran: the list is read once the
// update has ended, unless the update's own refresh came after it.
bool g_bHotplugDeferred = false;
HWND g_hStatusBar = nullptr;
std::unique_ptr<FlashWatch> g_flashWatch;

void CreateStatusBar(HWND window) {
  g_hStatusBar = CreateStatusWindowW(WS_CHILD | WS_VISIBLE, L"", window, IDC_STATUSBAR);
}

void LayOutChildren(HWND window) {
  RECT area{};
  GetClientRect(window, &area);
  InflateRect(&area, -DEVICE_LIST_MARGIN, -DEVICE_LIST_MARGIN);
  area.bottom -= STATUS_BAR_ROOM;
  if (DeviceListWindow()) {
    SetWindowPos(DeviceListWindow(), nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
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
    const int row = ListNextSelectedRow(DeviceListWindow(), -1);
    if (row == -1) return false;
    RECT bounds{};
    bounds.left = LVIR_BOUNDS;
    SendMessageW(DeviceListWindow(), LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&bounds));
    screen = POINT{bounds.left, bounds.bottom};
    ClientToScreen(DeviceListWindow(), &screen);
    return true;
  }
  LVHITTESTINFO hit{};
  hit.pt = screen;
  ScreenToClient(DeviceListWindow(), &hit.pt);
  SendMessageW(DeviceListWindow(), LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
  return hit.iItem != -1;
}

// From the list, from the keyboard, or at a point over the list.
bool IsRowMenuRequest(HWND from, LPARAM lParam) {
  const POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  if (from == DeviceListWindow() || IsKeyboardRequest(screen)) return true;
  RECT list{};
  GetWindowRect(DeviceListWindow(), &list);
  return PtInRect(&list, screen) != FALSE;
}

void ShowRowContextMenu(HWND window, LPARAM lParam) {
  POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  if (!FindMenuRow(screen)) return;

  const int selected = SelectedRowCount();
  const std::vector<std::wstring>& labels = g_ContextMenuTexts.at(LanguageId(SelectUiLanguage()));

  UniqueMenu menu(CreatePopupMenu());
  AppendMenuW(menu.Get(), MF_STRING, IDM_COPY_INFO, labels[0].c_str());
  if (selected == 1) {
    AppendMenuW(menu.Get(), MF_SEPARATOR, 0, L"");
    AppendMenuW(menu.Get(), MF_STRING, IDM_FW_DOWNLOAD, labels[1].c_str());
  }
  TrackPopupMenuEx(menu.Get(), TPM_RIGHTBUTTON, screen.x, screen.y, window, nullptr);
}

// While an update runs the program stays: ending it would leave the updater
// flashing alone and the dock free for a second writer.
bool RefuseQuitDuringUpdate(const char* what) {
  if (!UpdateRunning()) return false;
  spdlog::info("{} refused: firmware update in progress", what);
  return true;
}

// Another copy's flash began or ended (posted by the flash watch): its
// start empties the list and holds it empty, its end reads the dock again,
// however short the flash was. A guard object that cannot be used is named
// in the status bar instead. This window's own flash posts its Refresh
// itself after the dock has answered.
void OnFlashNotification(HWND window, WPARAM news) {
  if (UpdateRunning()) return;
  if (news == FLASH_NOTIFY_GUARD_UNUSABLE) {
    spdlog::error("FlashWatch dock guard unusable");
    ClearDockList();
    ShowDockListState(window, DockListFill::GuardUnusable);
  } else if (news == FLASH_NOTIFY_BEGAN) {
    if (g_bListAwaitsFlashEnd) return;
    spdlog::info("FlashWatch firmware update in progress");
    ClearDockList();
    ShowDockListState(window, DockListFill::FlashRunning);
  } else if (news == FLASH_NOTIFY_BEGAN_AND_ENDED || g_bListAwaitsFlashEnd) {
    RefreshDeviceList();
  }
}

// The hot-plug quiet time ran out. During an update the dock is rebooting
// under the update's own wait for it, and the refresh after that covers it.
void OnHotplugQuiet() {
  if (UpdateRunning()) {
    g_bHotplugDeferred = true;
    return;
  }
  RefreshDeviceList();
}

void RunShutdownSequence() {
  spdlog::info("QuitApp\n\n");
  g_flashWatch.reset();
  UnregisterDeviceNotify();
  PostQuitMessage(0);
}

// A shortcut acts only where its menu item could be chosen: never during an
// update, and Copy Info only with a selected row.
bool ShortcutAllowed(UINT command) {
  if (UpdateRunning()) return false;
  return command != IDM_COPY_INFO || SelectedRowCount() > 0;
}

void DispatchCommand(HWND window, UINT command, bool fromShortcut) {
  if (fromShortcut && !ShortcutAllowed(command)) return;
  switch (command) {
    case IDM_REFRESH:
      RefreshDeviceList();
      break;
    case IDM_EXIT:
      if (!RefuseQuitDuringUpdate("IDM_EXIT")) RunShutdownSequence();
      break;
    case IDM_TOPMOST:
      ToggleTopmost(window);
      break;
    case IDM_ABOUT:
      ShowAbout(window);
      break;
    case IDM_COPY_INFO:
      spdlog::info("CopySelectItemInfo");
      CopySelectItemInfo(window);
      break;
    case IDM_FW_DOWNLOAD:
      FWDownload(window, SelectedDock(), DocksOnBusAtLastFill());
      if (g_bHotplugDeferred && !UpdateRunning()) RefreshDeviceList();
      break;
    case IDM_SELECT_ALL:
      SelectAllRows();
      break;
    default:
      break;
  }
}

}  // namespace

void RefreshDeviceList() {
  spdlog::info("RefreshDeviceList");
  g_bHotplugDeferred = false;
  ClearDockList();
  UpdateWindow(DeviceListWindow());
  ShowDockListState(GetParent(DeviceListWindow()), FillDataToListView());
}

void ShowDockListState(HWND mainWindow, DockListFill fill) {
  g_bListAwaitsFlashEnd = fill != DockListFill::Read;
  const UiLanguage language = SelectUiLanguage();
  std::wstring status;
  switch (fill) {
    case DockListFill::Read:
      g_busyRetryMs = BUSY_RETRY_MS;
      if (SeveralDocks(DocksOnBusAtLastFill())) status = SeveralDocksStatus(DocksOnBusAtLastFill(), language);
      break;
    case DockListFill::FlashRunning:
      // Its end is told by the flash watch.
      status = TXT_STATUS_FLASH_RUNNING.In(language);
      break;
    case DockListFill::Busy:
    case DockListFill::GuardUnusable:
      // Another look holds the dock, or a guard object cannot be used: tried
      // again later, and later still while it stays so, never by waiting on
      // this thread.
      if (fill == DockListFill::Busy) {
        status = TXT_STATUS_DOCK_BUSY.In(language);
      } else {
        const wchar_t* unusable = UnusableDockGuard();
        status = FillInText(TXT_GUARD_UNUSABLE.In(language), L"{name}", unusable ? unusable : DockAccessName());
      }
      SetTimer(mainWindow, IDT_BUSY_RETRY, g_busyRetryMs, nullptr);
      g_busyRetryMs = std::min(g_busyRetryMs * 2, BUSY_RETRY_LONGEST_MS);
      break;
  }
  SendMessageW(g_hStatusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(status.c_str()));
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateStatusBar(window);
      g_flashWatch = std::make_unique<FlashWatch>(window, WM_APP_FLASH_STATE);
      return 0;
    case WM_CLOSE:
      if (RefuseQuitDuringUpdate("WM_CLOSE")) return 0;
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_DESTROY:
      RunShutdownSequence();
      return 0;
    case WM_TIMER:
      if (wParam == IDT_HOTPLUG_REFRESH) {
        KillTimer(window, IDT_HOTPLUG_REFRESH);
        OnHotplugQuiet();
      } else if (wParam == IDT_BUSY_RETRY) {
        KillTimer(window, IDT_BUSY_RETRY);
        if (g_bListAwaitsFlashEnd && !UpdateRunning()) RefreshDeviceList();
      }
      return 0;
    case WM_APP_FLASH_STATE:
      OnFlashNotification(window, wParam);
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
      // Off the list (the caption, the frame) the window's own menu opens as usual.
      if (!IsRowMenuRequest(reinterpret_cast<HWND>(wParam), lParam)) return DefWindowProcW(window, message, wParam, lParam);
      ShowRowContextMenu(window, lParam);
      return 0;
    case WM_COMMAND:
      DispatchCommand(window, LOWORD(wParam), HIWORD(wParam) == 1);
      return 0;
    case WM_DEVICECHANGE:
      // Each record (re)starts the quiet time; the dock is read when it runs out.
      return HandleDeviceChange(wParam, lParam,
                                [window] { SetTimer(window, IDT_HOTPLUG_REFRESH, HOTPLUG_QUIET_MS, nullptr); });
    case WM_QUERYENDSESSION:
      // Ending the session mid-flash can leave the dock without firmware. The
      // Restart Manager's request (ENDSESSION_CLOSEAPP) is answered alike.
      if (FlashRunningHere()) {
        spdlog::info(LOG_SESSION_END_REFUSED);
        return FALSE;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_ENDSESSION:
      if (wParam && FlashRunningHere()) spdlog::error("WM_ENDSESSION: the session ends during a firmware update");
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_APP_FLASH_ENDED:
      // The updater has ended: logoff and shutdown may go on, outcome box or not.
      ShutdownBlockReasonDestroy(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}
