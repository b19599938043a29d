#pragma once
// Asking the dock over USB for its DockInfo. Portable: compiled into the
// Windows program and into the native USB tests.
#include <cstdint>
#include <optional>
#include <string>

#include "docks/portable/dock_identity.h"
#include "docks/portable/dock_info.h"

inline constexpr std::uint8_t DOCK_REQUEST_TYPE_VENDOR_IN = 0xC0;  // device-to-host, vendor, device
inline constexpr std::uint16_t DOCK_FW_REPLY_LENGTH = 1024;
inline constexpr unsigned DOCK_FW_TIMEOUT_MS = 5000;
inline constexpr int DOCK_STRING_BUFFER_LENGTH = 256;

// Opens the first dock libusb lists that opens (default context, which must
// be initialised), reads its three strings and its firmware revision, closes
// it. Nothing when no dock can be opened.
std::optional<DockInfo> QueryDock();

// What a look at the bus found.
enum class DockPresence {
  Absent,      // the bus was listed and holds no dock
  Unlisted,    // the bus could not be listed: nothing is known
  Unopenable,  // a dock is there but did not open
  Opened,
};
struct DockQueryResult {
  std::optional<DockInfo> info;             // the dock's texts when it answered
  DockPresence presence = DockPresence::Absent;
  int openError = 0;                        // libusb_open's error code when Unopenable
  int dockCount = 0;                        // devices with the dock's IDs on the bus, opened or not
};
// QueryDock with the reason when no dock could be opened.
DockQueryResult QueryDockDiagnosed();
// "LIBUSB_ERROR_NOT_SUPPORTED (-12)": the libusb error name (libusb_error_name) and the number.
std::string UsbErrorText(int code);

// libusb_init on the default context, once per process, before any query;
// its failure is logged ("libusb_init failed {}") and returned (negative).
int StartUsbLibrary();
