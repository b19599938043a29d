#pragma once
// What the program knows of a dock, and how to ask the dock for it over USB.
// Portable: compiled into the Windows program and into the native USB tests.
#include <cstdint>
#include <optional>
#include <string>

// The texts shown for one dock, in column order.
struct DockInfo {
  std::wstring Vendor;
  std::wstring Product;
  std::wstring SerialNumber;
  std::wstring FwRev;  // empty when the firmware-version request fails or its reply is short
};

inline constexpr std::uint16_t DOCK_VENDOR_ID = 0x3A7D;
inline constexpr std::uint16_t DOCK_PRODUCT_ID = 0xB070;
inline constexpr std::uint8_t DOCK_REQ_FW_VERSION = 0xD6;

inline constexpr std::uint8_t DOCK_REQUEST_TYPE_VENDOR_IN = 0xC0;  // device-to-host, vendor, device
inline constexpr std::uint16_t DOCK_FW_REPLY_LENGTH = 1024;
inline constexpr int DOCK_FW_REPLY_MIN_LENGTH = 8;  // the version is in bytes 4 to 7
inline constexpr unsigned DOCK_FW_TIMEOUT_MS = 5000;
inline constexpr int DOCK_STRING_BUFFER_LENGTH = 256;

// Opens the first dock libusb lists (default context, which must be
// initialised), reads its three strings and its firmware revision, closes it.
// Nothing when no dock can be opened.
std::optional<DockInfo> QueryDock();

// What a look at the bus found.
enum class DockPresence { Absent, Unopenable, Opened };
struct DockQueryResult {
  std::optional<DockInfo> info;             // the dock's texts when it answered
  DockPresence presence = DockPresence::Absent;
  int openError = 0;                        // libusb_open's error code when Unopenable
};
// QueryDock with the reason when no dock could be opened.
DockQueryResult QueryDockDiagnosed();
// "LIBUSB_ERROR_NOT_SUPPORTED (-12)": the libusb error name (libusb_error_name) and the number.
std::string UsbErrorText(int code);

// Reply bytes 7, 6, 5, 4 as "a.b.c.d", each byte unsigned.
std::wstring FormatFirmwareVersion(const std::uint8_t* reply);
