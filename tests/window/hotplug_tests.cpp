// Hot-plug: real WM_DEVICECHANGE messages with broadcast records laid out as
// the system lays them out, sent to the MainWindow.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "shell/window/device_list.h"
#include "docks/portable/device_paths.h"
#include "shell/window/main_window.h"
#include "tests/window/app_window.h"

namespace wintest {
namespace {

constexpr GUID USB_DEVICE_CLASS = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr size_t NAME_OFFSET = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

const std::wstring DOCK_PATH = L"\\\\?\\USB#VID_3A7D&PID_B070#VN-2026-0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::wstring SECOND_PATH = L"\\\\?\\USB#VID_2109&PID_8822#5&2F1A3C&0&4#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::wstring STICK_PATH = L"\\\\?\\USB#VID_0781&PID_5581#4C530001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// A device-interface record with its name and terminator, sized like the system's.
std::vector<std::uint64_t> InterfaceRecord(const std::wstring& path) {
  const size_t bytes = NAME_OFFSET + (path.size() + 1) * sizeof(wchar_t);
  std::vector<std::uint64_t> storage((bytes + 7) / 8, 0);
  auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
  record->dbcc_size = static_cast<DWORD>(bytes);
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_classguid = USB_DEVICE_CLASS;
  std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  return storage;
}

DEV_BROADCAST_VOLUME VolumeRecord(DWORD unitMask) {
  DEV_BROADCAST_VOLUME record{};
  record.dbcv_size = sizeof(record);
  record.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  record.dbcv_unitmask = unitMask;
  return record;
}

using testsupport::Utf8;

class HotPlug : public MainWindowTest {
 protected:
  int Rows() const { return ListRowCount(List()); }

  // Sends notifications as one burst, then lets the quiet time run out
  // twice over; returns the log lines they caused. Counts the dock opens.
  std::vector<std::string> SendBurst(const std::vector<std::pair<WPARAM, const void*>>& records) {
    SimDockCountersReset();
    const size_t mark = LogMark();
    for (const auto& [event, record] : records) {
      SendMessageW(window_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
    }
    WaitOutQuietTime();
    return LogSince(mark);
  }

  // What one record of SendEach caused at once.
  struct Reply {
    std::vector<std::string> lines;
    std::wstring traces;
  };
  // Sends records one after another, keeping what each logged and traced
  // while it was handled, then lets the quiet time run out once: `later`
  // gets what was logged after the last record, and `traces` is left
  // holding what was traced after it. For records that must not read
  // the dock, one wait shows that none of them did.
  std::vector<Reply> SendEach(const std::vector<std::pair<WPARAM, const void*>>& records,
                              std::vector<std::string>& later, DebugOutputCapture* traces = nullptr) {
    SimDockCountersReset();
    std::vector<Reply> replies;
    for (const auto& [event, record] : records) {
      const size_t mark = LogMark();
      if (traces) traces->Clear();
      Reply reply;
      SendMessageW(window_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
      reply.lines = LogSince(mark);
      if (traces) reply.traces = traces->Text();
      replies.push_back(reply);
    }
    const size_t mark = LogMark();
    if (traces) traces->Clear();  // from here on: what was traced later
    WaitOutQuietTime();
    later = LogSince(mark);
    return replies;
  }

  // A timer of this thread's own, set after the window's quiet-time timer
  // and due later: this thread's timers fire in the order they fall due,
  // so when it fires, any refresh the records asked for (and a second one
  // a stray re-arm would give) has run, however loaded the machine is.
  static void WaitOutQuietTime() {
    QuietTimeOver().store(false);
    const UINT_PTR sentinel = SetTimer(nullptr, 0, 2 * HOTPLUG_QUIET_MS + 100,
                                       [](HWND, UINT, UINT_PTR, DWORD) { QuietTimeOver().store(true); });
    EXPECT_NE(sentinel, 0u);
    EXPECT_TRUE(testsupport::PumpUntil([] { return QuietTimeOver().load(); }, std::chrono::seconds(10)));
    KillTimer(nullptr, sentinel);
  }
  static std::atomic<bool>& QuietTimeOver() {
    static std::atomic<bool> over{false};
    return over;
  }
  std::vector<std::string> Send(WPARAM event, const void* record) { return SendBurst({{event, record}}); }
  std::vector<std::string> SendInterface(WPARAM event, const std::wstring& path) {
    const auto record = InterfaceRecord(path);
    return Send(event, record.data());
  }
  int Opens() const { return SimDockCountersGet().opens; }
};

const std::vector<std::string> REFILL = Join({"info RefreshDeviceList", "info FillDataToListView"}, DefaultDockLines());

TEST_F(HotPlug, DockArrivalAndRemovalRebuildTheListOncePerMessage) {
  const std::string added = "info DBT_DEVTYP_DEVICEINTERFACE USB device added. " + Utf8(DOCK_PATH) + " ";
  for (int repeat = 0; repeat < 2; ++repeat) {
    EXPECT_EQ(SendInterface(DBT_DEVICEARRIVAL, DOCK_PATH), Join({"info DBT_DEVICEARRIVAL", added}, REFILL));
    EXPECT_EQ(Opens(), 1);
    EXPECT_EQ(Rows(), 1);
  }

  // Pulled out: the refresh finds no dock.
  SimDockState absent;
  absent.present = false;
  SimDockSet(absent);
  EXPECT_EQ(SendInterface(DBT_DEVICEREMOVECOMPLETE, DOCK_PATH),
            (std::vector<std::string>{"info DBT_DEVICEREMOVECOMPLETE USB device removed. " + Utf8(DOCK_PATH),
                                      "info RefreshDeviceList", "info FillDataToListView",
                                      "error libusb_open_device_with_vid_pid failed"}));
  EXPECT_EQ(Rows(), 0);

  // Plugged in again.
  SimDockSet(SimDockState{});
  EXPECT_EQ(CountOf(SendInterface(DBT_DEVICEARRIVAL, DOCK_PATH), "info RefreshDeviceList"), 1);
  EXPECT_EQ(Rows(), 1);
}

TEST_F(HotPlug, SecondWatchedDeviceRebuildsOnArrivalOnly) {
  const std::vector<std::string> arrival = SendInterface(DBT_DEVICEARRIVAL, SECOND_PATH);
  EXPECT_EQ(arrival, Join({"info DBT_DEVICEARRIVAL",
                           "info DBT_DEVTYP_DEVICEINTERFACE USB device added. " + Utf8(SECOND_PATH) + " "},
                          REFILL));
  EXPECT_EQ(Opens(), 1);
  EXPECT_EQ(SendInterface(DBT_DEVICEREMOVECOMPLETE, SECOND_PATH),
            (std::vector<std::string>{"info DBT_DEVICEREMOVECOMPLETE USB device removed. " + Utf8(SECOND_PATH)}));
  EXPECT_EQ(Opens(), 0);
  EXPECT_EQ(Rows(), 1);
}

TEST_F(HotPlug, ABurstOfRecordsReadsTheDockOnceAfterTheLast) {
  // One plug-in: the dock's interfaces arrive, one goes and comes back, and the second device arrives.
  const auto dock = InterfaceRecord(DOCK_PATH);
  const auto dockFunction = InterfaceRecord(DOCK_PATH + L"&MI_01");
  const auto second = InterfaceRecord(SECOND_PATH);
  const std::vector<std::string> lines = SendBurst({{DBT_DEVICEARRIVAL, dock.data()},
                                                    {DBT_DEVICEARRIVAL, dockFunction.data()},
                                                    {DBT_DEVICEREMOVECOMPLETE, dock.data()},
                                                    {DBT_DEVICEARRIVAL, dock.data()},
                                                    {DBT_DEVICEARRIVAL, second.data()}});
  EXPECT_EQ(CountOf(lines, "info RefreshDeviceList"), 1);
  EXPECT_EQ(Opens(), 1);
  EXPECT_EQ(Rows(), 1);
  // The refresh comes after the last record.
  const auto lastRecord = std::find(lines.begin(), lines.end(),
                                    "info DBT_DEVTYP_DEVICEINTERFACE USB device added. " + Utf8(SECOND_PATH) + " ");
  EXPECT_LT(lastRecord - lines.begin(), std::find(lines.begin(), lines.end(), "info RefreshDeviceList") - lines.begin());
}

TEST_F(HotPlug, APathNamingBothDevicesRebuildsOnce) {
  const std::wstring both = L"\\\\?\\USB#VID_2109&PID_8822&VID_3A7D&PID_B070#1";
  EXPECT_EQ(CountOf(SendInterface(DBT_DEVICEARRIVAL, both), "info RefreshDeviceList"), 1);
  EXPECT_EQ(Opens(), 1);
}

TEST_F(HotPlug, IdsMatchInAnyLetterCase) {
  // Windows treats device paths case-insensitively, and some drivers report them in lower case.
  for (const std::wstring& path : {std::wstring(L"\\\\?\\usb#vid_3a7d&pid_b070#vn-2026-0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
                                   std::wstring(L"\\\\?\\Usb#Vid_3a7D&Pid_B070#1")}) {
    EXPECT_EQ(CountOf(SendInterface(DBT_DEVICEARRIVAL, path), "info RefreshDeviceList"), 1) << Utf8(path);
    EXPECT_EQ(CountOf(SendInterface(DBT_DEVICEREMOVECOMPLETE, path), "info RefreshDeviceList"), 1) << Utf8(path);
  }
  EXPECT_EQ(CountOf(SendInterface(DBT_DEVICEARRIVAL, L"\\\\?\\usb#vid_2109&pid_8822#5&2f1a3c&0&4"), "info RefreshDeviceList"), 1);
}

TEST_F(HotPlug, OtherDevicesNeverRebuild) {
  const std::wstring paths[] = {
      STICK_PATH,
      L"\\\\?\\USB#VID_3A7D&PID_B071#VN-2026-0001",
      L"\\\\?\\USB#VID_3A7D#PID_B070",
      L"VID_3A7D&PID_B07",  // one unit short of the id
      L"",
  };
  std::vector<std::vector<std::uint64_t>> records;
  std::vector<std::pair<WPARAM, const void*>> sent;
  for (const std::wstring& path : paths) records.push_back(InterfaceRecord(path));
  for (const auto& record : records) {
    sent.push_back({DBT_DEVICEARRIVAL, record.data()});
    sent.push_back({DBT_DEVICEREMOVECOMPLETE, record.data()});
  }
  std::vector<std::string> later;
  const std::vector<Reply> replies = SendEach(sent, later);
  for (size_t i = 0; i < std::size(paths); ++i) {
    const std::string path = Utf8(paths[i]);
    EXPECT_EQ(replies[2 * i].lines, (std::vector<std::string>{"info DBT_DEVICEARRIVAL",
                                                              "info DBT_DEVTYP_DEVICEINTERFACE USB device added. " + path + " "}))
        << path;
    EXPECT_EQ(replies[2 * i + 1].lines, (std::vector<std::string>{"info DBT_DEVICEREMOVECOMPLETE USB device removed. " + path}))
        << path;
  }
  EXPECT_TRUE(later.empty()) << ::testing::PrintToString(later);
  EXPECT_EQ(Opens(), 0);
  EXPECT_EQ(Rows(), 1);
}

TEST_F(HotPlug, AVolumeRecordTooShortForItsMaskIsNotReadPastItsEnd) {
  // The header alone at the very end of a readable page: reading the mask
  // behind it would fault on the page after.
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  auto* pages = static_cast<BYTE*>(
      VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD previous = 0;
  ASSERT_TRUE(VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &previous));
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(pages + system.dwPageSize - sizeof(DEV_BROADCAST_HDR));
  header->dbch_size = sizeof(DEV_BROADCAST_HDR);
  header->dbch_devicetype = DBT_DEVTYP_VOLUME;
  header->dbch_reserved = 0;
  std::vector<std::string> later;
  const std::vector<Reply> replies = SendEach({{DBT_DEVICEARRIVAL, header}, {DBT_DEVICEREMOVECOMPLETE, header}}, later);
  EXPECT_EQ(replies[0].lines, (std::vector<std::string>{"info DBT_DEVICEARRIVAL"}));
  EXPECT_TRUE(replies[1].lines.empty());
  EXPECT_TRUE(later.empty());
  EXPECT_EQ(Opens(), 0);
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(HotPlug, VolumesAndPortsAreNotLoggedBeyondTheArrivalLine) {
  const DEV_BROADCAST_VOLUME volume = VolumeRecord(1u << 4);
  DEV_BROADCAST_HDR port{};
  port.dbch_size = sizeof(port);
  port.dbch_devicetype = DBT_DEVTYP_PORT;
  std::vector<std::string> later;
  const std::vector<Reply> replies = SendEach({{DBT_DEVICEARRIVAL, &volume}, {DBT_DEVICEREMOVECOMPLETE, &volume},
                                               {DBT_DEVICEARRIVAL, &port}, {DBT_DEVICEREMOVECOMPLETE, &port}},
                                              later);
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].lines, i % 2 == 0 ? std::vector<std::string>{"info DBT_DEVICEARRIVAL"} : std::vector<std::string>{})
        << i;
  }
  EXPECT_TRUE(later.empty());
  EXPECT_EQ(Opens(), 0);
}

TEST_F(HotPlug, OtherEventsDoNothing) {
  const auto dock = InterfaceRecord(DOCK_PATH);
  const DEV_BROADCAST_VOLUME volume = VolumeRecord(1u << 4);
  DebugOutputCapture traces;
  std::vector<std::pair<WPARAM, const void*>> sent;
  for (WPARAM event : {WPARAM{DBT_DEVICEQUERYREMOVE}, WPARAM{DBT_DEVICEREMOVEPENDING}, WPARAM{DBT_DEVICEQUERYREMOVEFAILED},
                       WPARAM{DBT_DEVICETYPESPECIFIC}, WPARAM{DBT_CUSTOMEVENT}}) {
    sent.push_back({event, dock.data()});
    sent.push_back({event, &volume});
  }
  sent.push_back({DBT_DEVNODES_CHANGED, nullptr});
  std::vector<std::string> later;
  const std::vector<Reply> replies = SendEach(sent, later);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_TRUE(replies[i].lines.empty()) << sent[i].first;
  }
  EXPECT_TRUE(later.empty());
  EXPECT_EQ(Opens(), 0);
  EXPECT_EQ(traces.Text(), L"");
  EXPECT_EQ(Rows(), 1);
}

TEST_F(HotPlug, MissingRecordDoesNotCrash) {
  std::vector<std::string> later;
  const std::vector<Reply> replies = SendEach({{DBT_DEVICEARRIVAL, nullptr}, {DBT_DEVICEREMOVECOMPLETE, nullptr}}, later);
  EXPECT_EQ(replies[0].lines, (std::vector<std::string>{"info DBT_DEVICEARRIVAL"}));
  EXPECT_TRUE(replies[1].lines.empty());
  EXPECT_TRUE(later.empty());
  EXPECT_EQ(Opens(), 0);
  EXPECT_TRUE(IsWindow(window_));
}

// The record ends exactly at an inaccessible page, its name without a
// terminator: reading one unit too far would fault.
TEST_F(HotPlug, NameWithoutTerminatorIsReadOnlyUpToTheRecordSize) {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const size_t page = system.dwPageSize;
  auto* pages = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &old));

  const std::wstring path = L"\\\\?\\USB#VID_3A7D&PID_B070#VN-2026-0001";  // an even length keeps the record aligned
  ASSERT_EQ(path.size() % 2, 0u);
  const size_t bytes = NAME_OFFSET + path.size() * sizeof(wchar_t);
  auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(pages + page - bytes);
  record->dbcc_size = static_cast<DWORD>(bytes);
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_reserved = 0;
  record->dbcc_classguid = USB_DEVICE_CLASS;
  std::memcpy(record->dbcc_name, path.data(), path.size() * sizeof(wchar_t));

  EXPECT_EQ(Send(DBT_DEVICEARRIVAL, record),
            Join({"info DBT_DEVICEARRIVAL", "info DBT_DEVTYP_DEVICEINTERFACE USB device added. " + Utf8(path) + " "},
                 REFILL));
  EXPECT_EQ(Send(DBT_DEVICEREMOVECOMPLETE, record),
            Join({"info DBT_DEVICEREMOVECOMPLETE USB device removed. " + Utf8(path)}, REFILL));

  // A record too short to hold any name gives an empty path.
  record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(pages + page - NAME_OFFSET);
  record->dbcc_size = static_cast<DWORD>(NAME_OFFSET);
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_classguid = USB_DEVICE_CLASS;
  EXPECT_EQ(Send(DBT_DEVICEARRIVAL, record),
            (std::vector<std::string>{"info DBT_DEVICEARRIVAL", "info DBT_DEVTYP_DEVICEINTERFACE USB device added.  "}));
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST(VolumeMask, DriveLettersInOrderEachWithAColon) {
  EXPECT_EQ(VolumeMaskText(0), L"");
  EXPECT_EQ(VolumeMaskText(1u << 4), L"E:");
  EXPECT_EQ(VolumeMaskText((1u << 4) | (1u << 5)), L"E:F:");
  EXPECT_EQ(VolumeMaskText(1u), L"A:");
  EXPECT_EQ(VolumeMaskText(1u << 25), L"Z:");
  EXPECT_EQ(VolumeMaskText(0xFC000000u), L"") << "bits 26 to 31 name no drive";
  EXPECT_EQ(VolumeMaskText(0xFFFFFFFFu), L"A:B:C:D:E:F:G:H:I:J:K:L:M:N:O:P:Q:R:S:T:U:V:W:X:Y:Z:");
  EXPECT_EQ(VolumeMaskText((1u << 2) | (1u << 25) | (1u << 31)), L"C:Z:");
}

// ---- debugger traces ------------------------------------------------------------

// DebugOutputCapture fails a test where traces cannot be watched: none of
// these passes unchecked.
using HotPlugTraces = HotPlug;

TEST_F(HotPlugTraces, InterfaceArrivalAndRemoval) {
  DebugOutputCapture traces;
  const auto stick = InterfaceRecord(STICK_PATH);
  std::vector<std::string> later;
  const std::vector<Reply> replies =
      SendEach({{DBT_DEVICEARRIVAL, stick.data()}, {DBT_DEVICEREMOVECOMPLETE, stick.data()}}, later, &traces);
  EXPECT_EQ(replies[0].traces, L"USB device added.    " + STICK_PATH + L"\n");
  EXPECT_EQ(replies[1].traces, L"DBT_DEVICEREMOVECOMPLETE type=5\nUSB device removed.    " + STICK_PATH + L"\n");
  EXPECT_EQ(traces.Text(), L"") << "traced after the records were handled";
}

TEST_F(HotPlugTraces, VolumesGiveDriveLetters) {
  DebugOutputCapture traces;
  const DEV_BROADCAST_VOLUME e = VolumeRecord(1u << 4);
  const DEV_BROADCAST_VOLUME ef = VolumeRecord((1u << 4) | (1u << 5));
  std::vector<std::string> later;
  const std::vector<Reply> replies = SendEach({{DBT_DEVICEARRIVAL, &e}, {DBT_DEVICEREMOVECOMPLETE, &e},
                                               {DBT_DEVICEARRIVAL, &ef}, {DBT_DEVICEREMOVECOMPLETE, &ef}},
                                              later, &traces);
  EXPECT_EQ(replies[0].traces, L"Volume Arrival E:");
  EXPECT_EQ(replies[1].traces, L"DBT_DEVICEREMOVECOMPLETE type=2\nVolume Removed E:\n");
  EXPECT_EQ(replies[2].traces, L"Volume Arrival E:F:");
  EXPECT_EQ(replies[3].traces, L"DBT_DEVICEREMOVECOMPLETE type=2\nVolume Removed E:F:\n");
  EXPECT_EQ(Opens(), 0);
}

TEST_F(HotPlugTraces, OtherTypesTraceOnlyTheirRemoval) {
  DebugOutputCapture traces;
  DEV_BROADCAST_HDR port{};
  port.dbch_size = sizeof(port);
  port.dbch_devicetype = DBT_DEVTYP_PORT;
  std::vector<std::string> later;
  const std::vector<Reply> replies =
      SendEach({{DBT_DEVICEARRIVAL, &port}, {DBT_DEVICEREMOVECOMPLETE, &port}}, later, &traces);
  EXPECT_EQ(replies[0].traces, L"");
  EXPECT_EQ(replies[1].traces, L"DBT_DEVICEREMOVECOMPLETE type=3\n");
}

}  // namespace
}  // namespace wintest
