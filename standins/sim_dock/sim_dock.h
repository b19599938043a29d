#pragma once
// A simulated Varnock dock that answers the libusb calls the dock query makes,
// and the computer's power status (ReadPowerStatus, update/power_status.h).
// Linked into test executables and the demo build in place of libusb and the
// program's own power status; never into VarnockFWUpdate.exe.
//
// In-process tests set the state directly. Other processes (the demo, tests
// that start the program) read it from a small text file, named by the
// environment variable VARNOCK_SIM_DOCK or else "sim-dock.ini" beside the
// executable, at every open, so a changed file shows on the next refresh:
//   present=1
//   vendor=Varnock
//   product=Varnock USB-C Dock
//   serial=VN-2026-0001
//   firmware=1.2.3.4        (the four numbers shown, first to last)
//   control_result=0        (a negative libusb code makes the request fail)
//   reply_length=1024
//   open_error=0            (a libusb code: the dock is present but opening it
//                            fails with it; -12 as without a WinUSB-class driver.
//                            With count above 1 only the first dock fails)
//   init_throws=0           (1: the library's start throws, as a fault inside the
//                            program would, for its exit code of an internal error)
//   init_crashes=0          (1: the library's start writes through a null pointer, as
//                            a crash of the program would)
//   list_gate=NAME          (each listing of the bus waits, up to a minute, until the
//                            named event is set, if it exists: a test holds a run there)
//   offline_until=0         (system time as FILETIME ticks: until then the dock is
//                            off the bus, as while it reboots after a flash)
//   unopenable_until=0      (FILETIME ticks: until then the dock is on the bus but
//                            opening it fails with LIBUSB_ERROR_ACCESS)
//   offline_looks=0         (the dock is off the bus for this many more listings
//                            of the bus, each counted down in the file: a reboot
//                            that lasts a set number of looks however late the
//                            first comes)
//   count=1                 (docks with the dock's IDs on the bus, 1 to 8; the
//                            second and later report serial2 and firmware2 when
//                            given, else the first's serial with "-2", "-3", ...
//                            and the first's firmware)
//   serial2=VN-2026-0002
//   firmware2=1.3.0.0
//   ac=1                    (the power status: AC line 0 offline, 1 online, 255 unknown)
//   battery=100             (charge in percent, 0 to 100; 255 unknown or no battery)
#include <cstdint>
#include <string>

struct SimDockState {
  bool present = true;
  std::string vendor = "Varnock";
  std::string product = "Varnock USB-C Dock";
  std::string serial = "VN-2026-0001";
  std::uint8_t firmware[4] = {1, 2, 3, 4};
  int controlResult = 0;
  int replyLength = 1024;
  int initResult = 0;  // libusb_init's result
  bool initThrows = false;  // libusb_init throws instead
  bool initCrashes = false;  // libusb_init crashes instead
  std::string listGate;      // an event each listing waits for
  int openError = 0;   // non-zero: listed, but opening fails with this libusb code
  std::uint64_t offlineUntil = 0;  // FILETIME ticks; the dock is absent before then
  std::uint64_t unopenableUntil = 0;  // FILETIME ticks; the dock refuses to open before then
  int offlineLooks = 0;            // the dock is absent for this many more listings
  int count = 1;                   // docks on the bus when present
  std::string serial2;             // empty: the first's serial with "-2", "-3", ...
  bool hasFirmware2 = false;
  std::uint8_t firmware2[4] = {};
  std::uint8_t acLine = 1;
  std::uint8_t batteryPercent = 100;
};

inline constexpr int SIM_DOCK_MAX_COUNT = 8;
// Dock `index` (0 for the first) of `state`, with its own serial and firmware.
SimDockState SimDockNumber(const SimDockState& state, int index);

// The system time as FILETIME ticks (100 ns), comparable across processes.
std::uint64_t SimDockNow();

// Replaces the state; from now on the state file is not read.
void SimDockSet(const SimDockState& state);
// Goes back to reading the state file (the default).
void SimDockUseStateFile();

// Calls seen since the last reset, for tests.
struct SimDockCounters {
  int opens = 0;
  int closes = 0;
  int controlTransfers = 0;
};
SimDockCounters SimDockCountersGet();
void SimDockCountersReset();

// Reading and writing the state file (shared with the stand-in updater tool).
bool LoadSimDockState(const std::wstring& path, SimDockState& state);
bool SaveSimDockState(const std::wstring& path, const SimDockState& state);
// The state file this process uses: VARNOCK_SIM_DOCK or sim-dock.ini beside the exe.
std::wstring SimDockStatePath();
