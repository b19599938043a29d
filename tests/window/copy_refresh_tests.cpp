// Copy Info through the real clipboard, read back by a second process, and
// the Refresh command over a changing simulated dock.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "shell/window/device_list.h"
#include "tests/window/app_window.h"

namespace wintest {
namespace {

SimDockState SecondDock() {
  SimDockState dock;
  dock.vendor = "Varnock GmbH";
  dock.product = "Varnock Travel Dock";
  dock.serial = "VN-2026-0002";
  dock.firmware[0] = 2;
  dock.firmware[1] = 0;
  dock.firmware[2] = 10;
  dock.firmware[3] = 255;
  return dock;
}

class CopyInfo : public MainWindowTest {
 protected:
  std::vector<std::string> Copy() {
    const size_t mark = LogMark();
    SendMessageW(window_, WM_COMMAND, IDM_COPY_INFO, 0);
    return LogSince(mark);
  }
};

TEST_F(CopyInfo, OneRowGivesFourLabelledLinesAndAnEmptyLine) {
  PutClipboardText(L"before");
  SelectRows(List(), {0});
  EXPECT_EQ(Copy(), (std::vector<std::string>{"info CopySelectItemInfo", "info CopyTextToClipboard"}));
  // The labels are the Chinese column titles in every UI language.
  const ClipboardRead read = ReadClipboardFromOtherProcess();
  EXPECT_EQ(read.exitCode, 0);
  EXPECT_EQ(read.text, DEFAULT_DOCK_COPY);
  EXPECT_EQ(read.bytes, (DEFAULT_DOCK_COPY.size() + 1) * sizeof(wchar_t));
  EXPECT_EQ(read.text.find(L'\r'), std::wstring::npos);
}

TEST_F(CopyInfo, TwoRowsInAscendingOrderEachFollowedByAnEmptyLine) {
  SimDockSet(SecondDock());
  FillDataToListView();
  ASSERT_EQ(ListRowCount(List()), 2);
  SelectRows(List(), {1, 0});
  Copy();
  const ClipboardRead read = ReadClipboardFromOtherProcess();
  EXPECT_EQ(read.exitCode, 0);
  EXPECT_EQ(read.text, DEFAULT_DOCK_COPY + L"制造商 : Varnock GmbH\n产品 : Varnock Travel Dock\n序列号 : VN-2026-0002\n"
                                           L"固件版本 : 2.0.10.255\n\n");
}

TEST_F(CopyInfo, NothingSelectedLeavesAnEmptyUnicodeText) {
  PutClipboardText(L"before");
  SelectRows(List(), {});
  EXPECT_EQ(Copy(), (std::vector<std::string>{"info CopySelectItemInfo", "info CopyTextToClipboard"}));
  const ClipboardRead read = ReadClipboardFromOtherProcess();
  EXPECT_EQ(read.exitCode, 0) << "CF_UNICODETEXT must be there, empty";
  EXPECT_EQ(read.text, L"");
  EXPECT_EQ(read.bytes, 2u);
}

TEST_F(CopyInfo, FailedFirmwareRequestGivesAnEmptyFwRevLine) {
  SimDockState stalls;
  stalls.controlResult = -9;
  Rebuild(stalls);
  ASSERT_EQ(ListRowCount(List()), 1);
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN-2026-0001");
  EXPECT_EQ(ListReadCell(List(), 0, 3), L"");
  const SimDockCounters counters = SimDockCountersGet();
  EXPECT_EQ(counters.opens, 1);
  EXPECT_EQ(counters.closes, 1) << "the dock is closed after a failed firmware request too";
  SelectRows(List(), {0});
  Copy();
  const ClipboardRead read = ReadClipboardFromOtherProcess();
  EXPECT_EQ(read.text, L"制造商 : Varnock\n产品 : Varnock USB-C Dock\n序列号 : VN-2026-0001\n固件版本 : \n\n");
}

// A dock string's control characters reach neither the list, nor the
// clipboard, nor the log as they are: each shows as "\x" and two hex digits,
// and the row's DockInfo keeps what the dock sent.
TEST_F(CopyInfo, ControlCharactersInTheDocksStringsAreShownEscaped) {
  SimDockState dock;
  dock.vendor = "Varnock\x1b[2J";
  dock.serial = "VN\r[info] FWDownload image sha256 0";
  const size_t mark = LogMark();
  Rebuild(dock);
  ASSERT_EQ(ListRowCount(List()), 1);
  EXPECT_EQ(ListReadCell(List(), 0, 0), L"Varnock\\x1B[2J");
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN\\x0D[info] FWDownload image sha256 0");
  const std::vector<std::string> log = LogSince(mark);
  EXPECT_NE(std::find(log.begin(), log.end(), "info iManufacturer Varnock\\x1B[2J"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "info iSerialNumber VN\\x0D[info] FWDownload image sha256 0"), log.end());
  SelectRows(List(), {0});
  Copy();
  EXPECT_EQ(ReadClipboardFromOtherProcess().text,
            L"制造商 : Varnock\\x1B[2J\n产品 : Varnock USB-C Dock\n序列号 : VN\\x0D[info] FWDownload image sha256 0\n"
            L"固件版本 : 1.2.3.4\n\n");
  ASSERT_TRUE(SelectedDock().has_value());
  EXPECT_EQ(SelectedDock()->SerialNumber, L"VN\r[info] FWDownload image sha256 0");
}

TEST_F(CopyInfo, ClipboardHeldByAnotherProgramDropsTheCopyQuietly) {
  PutClipboardText(L"before");
  SelectRows(List(), {0});
  {
    ClipboardHolder holder;
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(Copy(), (std::vector<std::string>{"info CopySelectItemInfo", "info CopyTextToClipboard"}));
    EXPECT_TRUE(testsupport::FindThreadWindows(GetCurrentThreadId(), L"#32770").empty()) << "no message box";
    EXPECT_EQ(holder.Release(), 0u);
  }
  const ClipboardRead read = ReadClipboardFromOtherProcess();
  EXPECT_EQ(read.exitCode, 0);
  EXPECT_EQ(read.text, L"before");
  EXPECT_TRUE(IsWindow(window_));
  // Once the clipboard is free again the copy works.
  Copy();
  EXPECT_EQ(ReadClipboardFromOtherProcess().text, DEFAULT_DOCK_COPY);
}

// ---- Refresh --------------------------------------------------------------------

using Refresh = MainWindowTest;

TEST_F(Refresh, EmptiesTheListAndFillsItFromTheDockAsItIsNow) {
  SimDockSet(SecondDock());
  SimDockCountersReset();
  const size_t mark = LogMark();
  SendMessageW(window_, WM_COMMAND, IDM_REFRESH, 0);
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>{"info RefreshDeviceList", "info FillDataToListView",
                                                      "info iManufacturer Varnock GmbH",
                                                      "info iProduct Varnock Travel Dock",
                                                      "info iSerialNumber VN-2026-0002", "info fwver 2.0.10.255"}));
  ASSERT_EQ(ListRowCount(List()), 1);
  EXPECT_EQ(ListReadCell(List(), 0, 0), L"Varnock GmbH");
  EXPECT_EQ(ListReadCell(List(), 0, 1), L"Varnock Travel Dock");
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN-2026-0002");
  EXPECT_EQ(ListReadCell(List(), 0, 3), L"2.0.10.255");
  const SimDockCounters counters = SimDockCountersGet();
  EXPECT_EQ(counters.opens, 1);
  EXPECT_EQ(counters.closes, 1);
}

TEST_F(Refresh, NoDockLeavesTheListEmptyAndAReturningDockFillsIt) {
  SimDockState absent;
  absent.present = false;
  SimDockSet(absent);
  size_t mark = LogMark();
  SendMessageW(window_, WM_COMMAND, IDM_REFRESH, 0);
  EXPECT_EQ(ListRowCount(List()), 0);
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>{"info RefreshDeviceList", "info FillDataToListView",
                                                      "error libusb_open_device_with_vid_pid failed"}));
  SimDockSet(SimDockState{});
  SendMessageW(window_, WM_COMMAND, IDM_REFRESH, 0);
  ASSERT_EQ(ListRowCount(List()), 1);
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN-2026-0001");
}

TEST_F(Refresh, ADockThatCannotBeOpenedIsNamedInTheLogOnlyAndTheWindowStaysAsWithoutOne) {
  SimDockState unopenable;
  unopenable.openError = -12;  // on the bus, but no WinUSB-class driver
  SimDockSet(unopenable);
  const size_t mark = LogMark();
  SendMessageW(window_, WM_COMMAND, IDM_REFRESH, 0);
  EXPECT_EQ(ListRowCount(List()), 0);
  EXPECT_EQ(LogSince(mark), (std::vector<std::string>{
                                "info RefreshDeviceList", "info FillDataToListView",
                                "error libusb_open_device_with_vid_pid failed",
                                "error QueryDock dock present but cannot be opened LIBUSB_ERROR_NOT_SUPPORTED (-12)"}));
  EXPECT_EQ(LOWORD(SendMessageW(GetDlgItem(window_, IDC_STATUSBAR), SB_GETTEXTLENGTHW, 0, 0)), 0) << "the status bar shows text";
}

TEST_F(Refresh, TwoFillsGiveTwoRowsAndARefreshGivesOneAgain) {
  SimDockSet(SecondDock());
  FillDataToListView();
  ASSERT_EQ(ListRowCount(List()), 2);
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN-2026-0001");
  EXPECT_EQ(ListReadCell(List(), 1, 2), L"VN-2026-0002");
  EXPECT_EQ(ListReadCell(List(), 1, 3), L"2.0.10.255");
  SendMessageW(window_, WM_COMMAND, IDM_REFRESH, 0);
  ASSERT_EQ(ListRowCount(List()), 1);
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN-2026-0002");
}

TEST_F(Refresh, PostedFromAnotherThreadRunsOnTheWindowsThread) {
  SimDockSet(SecondDock());
  const size_t mark = LogMark();
  std::thread poster([this] { PostMessageW(window_, WM_COMMAND, IDM_REFRESH, 0); });
  poster.join();
  ASSERT_TRUE(testsupport::PumpUntil([&] { return CountOf(LogSince(mark), "info fwver 2.0.10.255") == 1; }));
  EXPECT_EQ(CountOf(LogSince(mark), "info RefreshDeviceList"), 1);
  ASSERT_EQ(ListRowCount(List()), 1);
  EXPECT_EQ(ListReadCell(List(), 0, 2), L"VN-2026-0002");
}

}  // namespace
}  // namespace wintest
