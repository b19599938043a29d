// The MainWindow built as the program builds it: start-up order and
// appearance, layout and size limits, the menu bar, Topmost, About, Exit.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/win_handles.h"
#include "shell/window/device_list.h"
#include "docks/dock_guard.h"
#include "shell/window/hotplug.h"
#include "resources/product.h"
#include "resources/resource.h"
#include "shell/window/startup.h"
#include "tests/window/app_window.h"

namespace wintest {
namespace {

using testsupport::ClassName;

struct Column {
  std::wstring title;
  int width = 0;
  int format = -1;
};

std::vector<Column> Columns(HWND list) {
  std::vector<Column> columns;
  for (int i = 0;; ++i) {
    wchar_t title[64] = {};
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.pszText = title;
    column.cchTextMax = 64;
    if (!SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column))) break;
    columns.push_back(Column{title, column.cx, column.fmt});
  }
  return columns;
}

std::vector<int> ColumnWidths(HWND list) {
  std::vector<int> widths;
  for (const Column& column : Columns(list)) widths.push_back(column.width);
  return widths;
}

// ---- start-up ---------------------------------------------------------------

TEST(MainWindowStartUp, BuiltInOrderWithTheDockRowInPlaceBeforeItShows) {
  const size_t mark = LogMark();
  HWND window = BuildMainWindow(SimDockState{});
  ASSERT_NE(window, nullptr);
  HWND list = DeviceList(window);
  ASSERT_NE(list, nullptr);

  // Everything up to the notification registration happens before the window is shown.
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(ListRowCount(list), 1);
  EXPECT_NE(DeviceNotifyHandle(), nullptr) << "registered for USB device interfaces";
  // Until the first layout the list keeps 15 pixels on every side.
  RECT created{};
  GetClientRect(window, &created);
  const RECT atCreation = ChildRect(list);
  EXPECT_EQ(atCreation.left, 15);
  EXPECT_EQ(atCreation.top, 15);
  EXPECT_EQ(atCreation.right, created.right - 15);
  EXPECT_EQ(atCreation.bottom, created.bottom - 15);
  EXPECT_EQ(LogSince(mark), Join(Join({"info CreateMainMenu", "info CreateListView", "info FillDataToListView"},
                                      DefaultDockLines()),
                                 {"info RegisterDeviceNotify"}));

  ShowMainWindow(window);
  EXPECT_TRUE(IsWindowVisible(window));
  testsupport::ExpectCentredOnScreen(window, 900, 520);

  EXPECT_EQ(ClassName(window), testsupport::APP_CLASS);
  EXPECT_EQ(testsupport::WindowText(window), testsupport::APP_TITLE);
  EXPECT_EQ(GetClassLongPtrW(window, GCL_STYLE), static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW));
  EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_WINDOW + 1));
  EXPECT_NE(GetClassLongPtrW(window, GCLP_HICON), 0u);
  EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrW(window, GCLP_HCURSOR)), LoadCursorW(nullptr, IDC_ARROW));
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
  EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
  EXPECT_TRUE(exStyle & WS_EX_APPWINDOW);
  EXPECT_FALSE(exStyle & WS_EX_TOPMOST);

  // The list: a report view with its own colours and styles.
  EXPECT_EQ(ClassName(list), L"SysListView32");
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(list, GWL_STYLE)), 0x52008001u);
  EXPECT_TRUE(GetWindowLongW(list, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
  EXPECT_EQ(SendMessageW(list, LVM_GETTEXTCOLOR, 0, 0), 0x00A00A0A);
  EXPECT_EQ(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), LVS_EX_FULLROWSELECT);
  EXPECT_EQ(ListReadCell(list, 0, 0), L"Varnock");
  EXPECT_EQ(ListReadCell(list, 0, 1), L"Varnock USB-C Dock");
  EXPECT_EQ(ListReadCell(list, 0, 2), L"VN-2026-0001");
  EXPECT_EQ(ListReadCell(list, 0, 3), L"1.2.3.4");

  const std::vector<Column> columns = Columns(list);
  ASSERT_EQ(columns.size(), 4u);
  const std::vector<std::wstring> titles = ChineseRun()
                                               ? std::vector<std::wstring>{L"制造商", L"产品", L"序列号", L"固件版本"}
                                               : std::vector<std::wstring>{L"Vendor", L"Product", L"SerialNumber", L"FwRev"};
  const int widths[] = {150, 200, 300, 150};
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(columns[i].title, titles[i]) << i;
    EXPECT_EQ(columns[i].width, widths[i]) << i;
    EXPECT_EQ(columns[i].format & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT) << i;
  }

  // The status bar sits along the bottom of the client area, empty.
  HWND status = GetDlgItem(window, IDC_STATUSBAR);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(ClassName(status), L"msctls_statusbar32");
  EXPECT_EQ(testsupport::WindowText(status), L"");
  EXPECT_EQ(GetWindowLongW(status, GWL_STYLE) & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE);
  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(ChildRect(status).bottom, client.bottom);

  // The manifest of the program's resources selects the version 6 list view.
  wchar_t controls[MAX_PATH] = {};
  GetModuleFileNameW(GetModuleHandleW(L"comctl32.dll"), controls, MAX_PATH);
  EXPECT_NE(std::wstring(controls).find(L"winsxs"), std::wstring::npos) << testsupport::Utf8(controls);

  DestroyMainWindow(window);
}

TEST(MainWindowStartUp, NoDockGivesAnEmptyListAndTheErrorLine) {
  SimDockState absent;
  absent.present = false;
  const size_t mark = LogMark();
  HWND window = BuildMainWindow(absent);
  EXPECT_EQ(ListRowCount(DeviceList(window)), 0);
  const std::vector<std::string> lines = LogSince(mark);
  EXPECT_EQ(lines, (std::vector<std::string>{"info CreateMainMenu", "info CreateListView", "info FillDataToListView",
                                             "error libusb_open_device_with_vid_pid failed",
                                             "info RegisterDeviceNotify"}));
  DestroyMainWindow(window);
}

// Another program's object under the flash marker's name: the status bar names
// it in the user's language, and calls it no flash.
TEST(MainWindowStartUp, AnUnusableDockGuardIsNamedInTheStatusBar) {
  const std::wstring access = L"Local\\varnock-window-access-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring marker = L"Local\\varnock-window-flash-" + std::to_wstring(GetCurrentProcessId());
  const DockGuardNamesForTest names(access.c_str(), marker.c_str());
  const UniqueHandle squatter(CreateMutexW(nullptr, FALSE, marker.c_str()));
  ASSERT_TRUE(squatter);
  HWND window = BuildMainWindow(SimDockState{});
  EXPECT_EQ(ListRowCount(DeviceList(window)), 0);
  EXPECT_EQ(testsupport::WindowText(GetDlgItem(window, IDC_STATUSBAR)),
            ChineseRun() ? L"扩展坞保护对象 " + marker + L" 被其他程序或帐户占用；如果没有正在进行的升级，请重新启动计算机。"
                         : L"The dock guard " + marker +
                               L" is held by another program or account; if no update is running, restart the computer.");
  DestroyMainWindow(window);
}

// ---- layout and size limits ---------------------------------------------------

using MainWindowLayout = MainWindowTest;

TEST_F(MainWindowLayout, ListKeepsItsMarginsAndColumnWidthsAtEverySize) {
  HWND list = DeviceList(window_);
  HWND status = GetDlgItem(window_, IDC_STATUSBAR);
  const SIZE sizes[] = {{900, 520}, {1000, 700}, {1240, 780}, {851, 501}, {850, 500}, {1100, 560}};
  for (const SIZE& size : sizes) {
    SetWindowPos(window_, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    RECT frame{};
    GetWindowRect(window_, &frame);
    ASSERT_EQ(frame.right - frame.left, size.cx);
    ASSERT_EQ(frame.bottom - frame.top, size.cy);
    RECT client{};
    GetClientRect(window_, &client);
    const RECT rect = ChildRect(list);
    EXPECT_EQ(rect.left, 15) << size.cx << "x" << size.cy;
    EXPECT_EQ(rect.top, 15) << size.cx << "x" << size.cy;
    EXPECT_EQ(rect.right - rect.left, client.right - 30) << size.cx << "x" << size.cy;
    EXPECT_EQ(rect.bottom - rect.top, client.bottom - 50) << size.cx << "x" << size.cy;
    const RECT bar = ChildRect(status);
    EXPECT_EQ(bar.bottom, client.bottom) << size.cx << "x" << size.cy;
    EXPECT_EQ(bar.right - bar.left, client.right) << size.cx << "x" << size.cy;
    EXPECT_EQ(ColumnWidths(list), (std::vector<int>{150, 200, 300, 150})) << size.cx << "x" << size.cy;
  }
}

TEST_F(MainWindowLayout, CannotBeMadeSmallerThan850By500) {
  MINMAXINFO limits;
  std::memset(&limits, 0x5A, sizeof(limits));
  MINMAXINFO untouched = limits;
  EXPECT_EQ(SendMessageW(window_, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits)), 0);
  EXPECT_EQ(limits.ptMinTrackSize.x, 850);
  EXPECT_EQ(limits.ptMinTrackSize.y, 500);
  untouched.ptMinTrackSize = limits.ptMinTrackSize;
  EXPECT_EQ(std::memcmp(&limits, &untouched, sizeof(limits)), 0) << "only the minimum tracking size may change";

  // The system applies the limit to every resize of the window.
  const SIZE tooSmall[] = {{600, 400}, {849, 700}, {1000, 499}, {1, 1}};
  for (const SIZE& size : tooSmall) {
    RECT before{};
    GetWindowRect(window_, &before);
    MoveWindow(window_, before.left, before.top, size.cx, size.cy, TRUE);
    RECT after{};
    GetWindowRect(window_, &after);
    EXPECT_EQ(after.right - after.left, std::max<LONG>(size.cx, 850)) << size.cx << "x" << size.cy;
    EXPECT_EQ(after.bottom - after.top, std::max<LONG>(size.cy, 500)) << size.cx << "x" << size.cy;
  }
}

// ---- the menu bar -------------------------------------------------------------

using MainWindowMenus = MainWindowTest;

TEST_F(MainWindowMenus, BarHasFileSettingsHelpInTheUserLanguage) {
  const bool zh = ChineseRun();
  HMENU bar = GetMenu(window_);
  ASSERT_NE(bar, nullptr);
  const std::vector<MenuEntry> top = ReadMenu(bar);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].text, zh ? L"文件(&F)" : L"&File");
  EXPECT_EQ(top[1].text, zh ? L"设置(&S)" : L"&Settings");
  EXPECT_EQ(top[2].text, zh ? L"帮助(&H)" : L"&Help");
  for (const MenuEntry& entry : top) EXPECT_TRUE(entry.popup);

  const std::vector<MenuEntry> file = ReadMenu(GetSubMenu(bar, 0));
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(file[0].id, IDM_REFRESH);
  EXPECT_EQ(file[0].text, zh ? L"刷新(&R)" : L"&Refresh");
  EXPECT_TRUE(file[1].separator);
  EXPECT_EQ(file[1].id, 0u);
  EXPECT_EQ(file[2].id, IDM_EXIT);
  EXPECT_EQ(file[2].text, zh ? L"退出(&X)" : L"E&xit");
  int separators = 0;
  for (const MenuEntry& entry : file) separators += entry.separator ? 1 : 0;
  EXPECT_EQ(separators, 1);

  const std::vector<MenuEntry> settings = ReadMenu(GetSubMenu(bar, 1));
  ASSERT_EQ(settings.size(), 1u);
  EXPECT_EQ(settings[0].id, IDM_TOPMOST);
  EXPECT_EQ(settings[0].text, zh ? L"顶置(&T)" : L"&Topmost");
  EXPECT_FALSE(settings[0].checked);

  const std::vector<MenuEntry> help = ReadMenu(GetSubMenu(bar, 2));
  ASSERT_EQ(help.size(), 1u);
  EXPECT_EQ(help[0].id, IDM_ABOUT);
  EXPECT_EQ(help[0].text, zh ? L"关于(&A)" : L"&About");

  // Each label carries exactly one mnemonic, and the letters of a menu differ.
  for (const auto& menu : {top, file, settings, help}) {
    std::wstring letters;
    for (const MenuEntry& entry : menu) {
      if (entry.text.empty()) continue;  // the separator
      const size_t amp = entry.text.find(L'&');
      ASSERT_NE(amp, std::wstring::npos) << testsupport::Utf8(entry.text);
      EXPECT_EQ(entry.text.find(L'&', amp + 1), std::wstring::npos);
      EXPECT_EQ(letters.find(entry.text[amp + 1]), std::wstring::npos) << testsupport::Utf8(entry.text);
      letters += entry.text[amp + 1];
    }
  }
}

TEST_F(MainWindowMenus, TopmostTwiceTogglesStyleAndCheckAndNeverMoves) {
  RECT start{};
  GetWindowRect(window_, &start);
  HMENU settings = GetSubMenu(GetMenu(window_), 1);
  const size_t mark = LogMark();
  for (bool expectTop : {true, false, true, false}) {
    SendMessageW(window_, WM_COMMAND, IDM_TOPMOST, 0);
    EXPECT_EQ((GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, expectTop);
    EXPECT_EQ((GetMenuState(settings, IDM_TOPMOST, MF_BYCOMMAND) & MF_CHECKED) != 0, expectTop);
    RECT now{};
    GetWindowRect(window_, &now);
    EXPECT_TRUE(EqualRect(&now, &start)) << "the window moved or changed size";
    EXPECT_TRUE(IsWindowVisible(window_));
  }
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>(4, "info TOPMOST")));
}

TEST_F(MainWindowMenus, AboutShowsTitleVersionAndCopyrightOwnedByTheWindow) {
  const size_t mark = LogMark();
  const auto box = RunClosingMessageBox([&] { SendMessageW(window_, WM_COMMAND, IDM_ABOUT, 0); });
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->caption, testsupport::APP_TITLE);
  // The version the program carries (its version block), not a text of its own.
  const std::wstring head = L"VarnockFirmwareUpdate V" VARNOCK_VERSION "\n\n";
  ASSERT_GT(box->text.size(), head.size()) << testsupport::Utf8(box->text);
  EXPECT_EQ(box->text.substr(0, head.size()), head) << testsupport::Utf8(box->text);
  const std::wstring copyright = box->text.substr(head.size());
  EXPECT_EQ(copyright.find(L'\n'), std::wstring::npos) << "one copyright line";
  EXPECT_NE(copyright.find(L"Varnock"), std::wstring::npos);
  EXPECT_EQ(box->owner, window_);
  EXPECT_EQ(box->buttons, (std::vector<int>{IDOK}));
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>{"info ABOUT"}));
  EXPECT_TRUE(IsWindowEnabled(window_)) << "the window is usable again once the box is closed";
}

// ---- commands and shutdown ----------------------------------------------------

using MainWindowCommands = MainWindowTest;

TEST_F(MainWindowCommands, ExitLogsQuitOnceAndPostsQuitZeroWithoutDestroying) {
  const size_t mark = LogMark();
  SendMessageW(window_, WM_COMMAND, IDM_EXIT, 0);
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>{"info QuitApp\n\n"}));
  int code = -1;
  EXPECT_TRUE(TakeQuitMessage(&code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(IsWindow(window_)) << "Exit ends the loop, it does not destroy the window";
}

TEST_F(MainWindowCommands, CloseBoxAndWmCloseDestroyAndQuitOnce) {
  for (bool systemCommand : {true, false}) {
    const size_t mark = LogMark();
    if (systemCommand) {
      SendMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
      SendMessageW(window_, WM_CLOSE, 0, 0);
    }
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(LogSince(mark), (std::vector<std::string>{"info QuitApp\n\n"}));
    int code = -1;
    EXPECT_TRUE(TakeQuitMessage(&code));
    EXPECT_EQ(code, 0);
    if (systemCommand) Rebuild(SimDockState{});
  }
}

TEST_F(MainWindowCommands, OnlyTheLowWordCountsAndUnknownIdsDoNothing) {
  HWND list = DeviceList(window_);
  size_t mark = LogMark();
  const LONG_PTR exStyle = GetWindowLongPtrW(window_, GWL_EXSTYLE);
  SimDockCountersReset();
  for (UINT id : {0u, 1000u, 1003u, 2000u, 3002u, 4002u, 65535u}) {
    // The About box or a message box would hold this send until closed.
    SendMessageW(window_, WM_COMMAND, id, 0);
  }
  // No refresh, no exit, no topmost switch, nothing logged.
  EXPECT_TRUE(LogSince(mark).empty());
  EXPECT_EQ(SimDockCountersGet().opens, 0);
  EXPECT_EQ(ListRowCount(list), 1);
  EXPECT_FALSE(TakeQuitMessage());
  EXPECT_TRUE(IsWindow(window_));
  EXPECT_EQ(GetWindowLongPtrW(window_, GWL_EXSTYLE), exStyle);

  // A menu accelerator code in the high word still means Refresh.
  mark = LogMark();
  SendMessageW(window_, WM_COMMAND, MAKEWPARAM(IDM_REFRESH, 1), 0);
  EXPECT_EQ(CountOf(LogSince(mark), "info RefreshDeviceList"), 1);
  EXPECT_EQ(ListRowCount(list), 1);
}

}  // namespace
}  // namespace wintest
