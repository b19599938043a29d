#pragma once
// The Varnock dock's identity on the USB bus, written once: the query, the
// watched device paths and the updater's command line all take it from here.
// Portable.
#include <cstdint>
#include <string>

inline constexpr std::uint16_t DOCK_VENDOR_ID = 0x3A7D;
inline constexpr std::uint16_t DOCK_PRODUCT_ID = 0xB070;
// The vendor request that answers with the firmware revision.
inline constexpr std::uint8_t DOCK_REQ_FW_VERSION = 0xD6;

// A USB id as four upper-case hexadecimal digits, without a prefix ("3A7D").
std::wstring UsbIdText(std::uint16_t id);
// The dock's ids as its device-interface paths hold them: "VID_3A7D&PID_B070".
std::wstring DockDevicePathId();
