// The row context menu: shown by the real popup-menu code, read back from
// the menu window while it is open.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "shell/window/device_list.h"
#include "tests/window/app_window.h"

namespace wintest {
namespace {

std::wstring CopyLabel() { return ChineseRun() ? L"复制信息(&C)" : L"&CopyInfo"; }
std::wstring DownloadLabel() { return ChineseRun() ? L"升级固件(&F)" : L"&FWDownload"; }

void ExpectCopyThenSeparatorThenDownload(const PopupSeen& seen) {
  ASSERT_TRUE(seen.shown);
  ASSERT_EQ(seen.entries.size(), 3u);
  EXPECT_EQ(seen.entries[0].id, IDM_COPY_INFO);
  EXPECT_EQ(seen.entries[0].text, CopyLabel());
  EXPECT_FALSE(seen.entries[0].separator);
  EXPECT_TRUE(seen.entries[1].separator);
  EXPECT_EQ(seen.entries[1].id, 0u);
  EXPECT_EQ(seen.entries[2].id, IDM_FW_DOWNLOAD);
  EXPECT_EQ(seen.entries[2].text, DownloadLabel());
}

void ExpectCopyOnly(const PopupSeen& seen) {
  ASSERT_TRUE(seen.shown);
  ASSERT_EQ(seen.entries.size(), 1u);
  EXPECT_EQ(seen.entries[0].id, IDM_COPY_INFO);
  EXPECT_EQ(seen.entries[0].text, CopyLabel());
}

class ContextMenu : public MainWindowTest {
 protected:
  // Adds a second row, from another dock, as a second fill would.
  void AddSecondRow() {
    SimDockState other;
    other.serial = "VN-2026-0002";
    SimDockSet(other);
    FillDataToListView();
    ASSERT_EQ(ListRowCount(List()), 2);
  }
};

TEST_F(ContextMenu, OverNoRowThereIsNoMenuAndNoLogLine) {
  SelectRows(List(), {0});
  RECT list{};
  GetWindowRect(List(), &list);
  RECT status{};
  GetWindowRect(GetDlgItem(window_, IDC_STATUSBAR), &status);
  POINT margin{5, 5};
  ClientToScreen(window_, &margin);
  const POINT row = RowCentreOnScreen(List(), 0);
  const POINT places[] = {
      {row.x, list.bottom - 10},                              // inside the list, below the last row
      margin,                                                 // the margin around the list
      {(status.left + status.right) / 2, status.bottom - 3},  // the status bar
  };
  const size_t mark = LogMark();
  for (const POINT& place : places) {
    const PopupSeen seen = ContextMenuAt(window_, place);
    EXPECT_FALSE(seen.shown) << place.x << "," << place.y;
  }
  EXPECT_TRUE(LogSince(mark).empty());
}

TEST_F(ContextMenu, OneSelectedRowOffersCopySeparatorAndFirmwareDownload) {
  SelectRows(List(), {0});
  const size_t mark = LogMark();
  const POINT point = RowCentreOnScreen(List(), 0);
  const PopupSeen seen = ContextMenuAt(window_, point);
  ExpectCopyThenSeparatorThenDownload(seen);
  // Left- and top-aligned at the point of the request.
  EXPECT_EQ(seen.frame.left, point.x);
  EXPECT_EQ(seen.frame.top, point.y);
  EXPECT_TRUE(LogSince(mark).empty()) << "cancelling the menu runs nothing";
}

TEST_F(ContextMenu, OnTheCaptionTheWindowsOwnMenuOpens) {
  SelectRows(List(), {0});
  RECT frame{};
  GetWindowRect(window_, &frame);
  const POINT caption{(frame.left + frame.right) / 2,
                      frame.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2};
  ASSERT_EQ(SendMessageW(window_, WM_NCHITTEST, 0, MAKELPARAM(caption.x, caption.y)), HTCAPTION);
  const PopupSeen seen = ContextMenuAt(window_, caption);
  ASSERT_TRUE(seen.shown);
  bool close = false;
  for (const MenuEntry& entry : seen.entries) {
    EXPECT_NE(entry.id, static_cast<UINT>(IDM_COPY_INFO));
    close = close || entry.id == SC_CLOSE;
  }
  EXPECT_TRUE(close) << "not the window menu";
}

TEST_F(ContextMenu, NoSelectedRowOffersCopyOnly) {
  SelectRows(List(), {});
  ExpectCopyOnly(ContextMenuAt(window_, RowCentreOnScreen(List(), 0)));
}

TEST_F(ContextMenu, EntriesFollowTheSelectionCountNotTheRowUnderThePointer) {
  AddSecondRow();
  SelectRows(List(), {0, 1});
  ExpectCopyOnly(ContextMenuAt(window_, RowCentreOnScreen(List(), 1)));
  SelectRows(List(), {1});
  ExpectCopyThenSeparatorThenDownload(ContextMenuAt(window_, RowCentreOnScreen(List(), 0)));
}

TEST_F(ContextMenu, KeyboardRequestOpensTheMenuUnderTheFirstSelectedRowWithTheSameRules) {
  AddSecondRow();
  struct Request {
    std::vector<int> selected;
    int menuRow;  // -1: no menu
    bool withDownload;
  };
  const Request requests[] = {{{}, -1, false}, {{0}, 0, true}, {{1}, 1, true}, {{0, 1}, 0, false}};
  for (const Request& request : requests) {
    SCOPED_TRACE(::testing::PrintToString(request.selected));
    SelectRows(List(), request.selected);
    const PopupSeen seen = ContextMenuAt(window_, POINT{-1, -1});  // Shift+F10 or the Menu key
    if (request.menuRow == -1) {
      EXPECT_FALSE(seen.shown);
      continue;
    }
    if (request.withDownload) {
      ExpectCopyThenSeparatorThenDownload(seen);
    } else {
      ExpectCopyOnly(seen);
    }
    RECT row{};
    row.left = LVIR_BOUNDS;
    SendMessageW(List(), LVM_GETITEMRECT, static_cast<WPARAM>(request.menuRow), reinterpret_cast<LPARAM>(&row));
    POINT below{row.left, row.bottom};
    ClientToScreen(List(), &below);
    EXPECT_EQ(seen.frame.left, below.x);
    EXPECT_EQ(seen.frame.top, below.y);
  }
}

TEST_F(ContextMenu, ChoosingCopyInfoCopiesTheSelectedRow) {
  PutClipboardText(L"before");
  SelectRows(List(), {0});
  const size_t mark = LogMark();
  const PopupSeen seen = ContextMenuAt(window_, RowCentreOnScreen(List(), 0), 0);
  ExpectCopyThenSeparatorThenDownload(seen);
  // The choice arrives as a posted WM_COMMAND once the menu has closed.
  ASSERT_TRUE(testsupport::PumpUntil([&] { return CountOf(LogSince(mark), "info CopyTextToClipboard") == 1; }));
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>{"info CopySelectItemInfo", "info CopyTextToClipboard"}));
  const ClipboardRead read = ReadClipboardFromOtherProcess();
  EXPECT_EQ(read.exitCode, 0);
  EXPECT_EQ(read.text, DEFAULT_DOCK_COPY);
}

}  // namespace
}  // namespace wintest
