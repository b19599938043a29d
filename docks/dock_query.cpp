#include "docks/dock_query.h"

#include <libusb.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "base/portable/text_conversion.h"

namespace {

struct UsbHandleCloser {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using UsbHandle = std::unique_ptr<libusb_device_handle, UsbHandleCloser>;

// The list drops its references to the devices with it.
struct UsbDeviceListFreer {
  void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using UsbDeviceList = std::unique_ptr<libusb_device*[], UsbDeviceListFreer>;

bool IsDock(libusb_device* device) {
  libusb_device_descriptor descriptor{};
  return libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
         descriptor.idVendor == DOCK_VENDOR_ID && descriptor.idProduct == DOCK_PRODUCT_ID;
}

// Every device with the dock's IDs, counted, and the first of them that
// opens. libusb_open_device_with_vid_pid tries only the first, so a dock
// that cannot be opened (no WinUSB-class driver, held by another program)
// would hide one that can.
struct DocksOnBus {
  UsbHandle opened;      // the first dock that opened; it keeps its device
  int count = 0;
  int firstOpenError = 0;  // libusb_open's code for the first dock that did not open
  bool listed = false;     // the bus could be listed at all
};

DocksOnBus OpenFirstDock() {
  DocksOnBus docks;
  libusb_device** devices = nullptr;
  const ssize_t listed = libusb_get_device_list(nullptr, &devices);
  if (listed < 0) return docks;  // no list was made
  docks.listed = true;
  const UsbDeviceList list(devices);
  for (ssize_t i = 0; i < listed; ++i) {
    if (!IsDock(list[i])) continue;
    ++docks.count;
    if (docks.opened) continue;
    libusb_device_handle* handle = nullptr;
    const int code = libusb_open(list[i], &handle);
    if (code == LIBUSB_SUCCESS) {
      docks.opened.reset(handle);
    } else if (docks.firstOpenError == 0) {
      docks.firstOpenError = code;
    }
  }
  return docks;
}

// One string descriptor as ASCII; empty when the dock has no such string
// (index 0) or the read fails, never the remains of an earlier read.
std::string ReadDockString(libusb_device_handle* handle, std::uint8_t index) {
  unsigned char buffer[DOCK_STRING_BUFFER_LENGTH] = {};
  const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, DOCK_STRING_BUFFER_LENGTH);
  if (length <= 0) return {};
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

}  // namespace

std::string UsbErrorText(int code) {
  return std::string(libusb_error_name(code)) + " (" + std::to_string(code) + ")";
}

int StartUsbLibrary() {
  const int result = libusb_init(nullptr);
  if (result < 0) spdlog::info("libusb_init failed {}", result);
  return result;
}

std::optional<DockInfo> QueryDock() { return QueryDockDiagnosed().info; }

DockQueryResult QueryDockDiagnosed() {
  const DocksOnBus docks = OpenFirstDock();
  DockQueryResult result;
  result.dockCount = docks.count;
  if (docks.count > 1) spdlog::info(LOG_SEVERAL_DOCKS, docks.count);
  if (!docks.opened) {
    spdlog::error(LOG_NO_DOCK_OPENED);
    // None listed means no dock; one that refuses to open is a dock without a
    // usable driver (LIBUSB_ERROR_NOT_SUPPORTED on Windows), which the user can fix.
    if (docks.count > 0) {
      spdlog::error(LOG_DOCK_UNOPENABLE, UsbErrorText(docks.firstOpenError));
      result.presence = DockPresence::Unopenable;
      result.openError = docks.firstOpenError;
    } else if (!docks.listed) {
      result.presence = DockPresence::Unlisted;
    }
    return result;
  }
  // Another dock before this one would not open: worth a line, not a stop.
  if (docks.firstOpenError != 0) spdlog::error(LOG_DOCK_UNOPENABLE, UsbErrorText(docks.firstOpenError));
  result.presence = DockPresence::Opened;
  libusb_device_handle* const handle = docks.opened.get();
  libusb_device* device = libusb_get_device(handle);
  if (device == nullptr) return result;

  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);

  DockInfo info;
  const std::string vendor = ReadDockString(handle, descriptor.iManufacturer);
  info.Vendor = AsciiToWide(vendor.c_str());
  // The log gets the strings as the dock sent them, but never a control
  // character that could start a line of its own.
  spdlog::info("iManufacturer {}", EscapeControlChars(vendor));
  const std::string product = ReadDockString(handle, descriptor.iProduct);
  info.Product = AsciiToWide(product.c_str());
  spdlog::info("iProduct {}", EscapeControlChars(product));
  const std::string serial = ReadDockString(handle, descriptor.iSerialNumber);
  info.SerialNumber = AsciiToWide(serial.c_str());
  spdlog::info("iSerialNumber {}", EscapeControlChars(serial));

  {
    std::vector<std::uint8_t> reply(DOCK_FW_REPLY_LENGTH, 0);
    const int result = libusb_control_transfer(handle, DOCK_REQUEST_TYPE_VENDOR_IN, DOCK_REQ_FW_VERSION, 0, 0,
                                               reply.data(), DOCK_FW_REPLY_LENGTH, DOCK_FW_TIMEOUT_MS);
    if (result < 0) {
      spdlog::error(LOG_FW_REQUEST_FAILED, result);
    } else {
      info.FwRev = FwRevFromReply(reply.data(), result);
      if (info.FwRev.empty()) {
        // The version lies in bytes 4 to 7: a shorter reply has none to show.
        spdlog::error("libusb_control_transfer short reply {}", result);
      } else {
        spdlog::info("fwver {0}.{1}.{2}.{3}", unsigned{reply[7]}, unsigned{reply[6]}, unsigned{reply[5]},
                     unsigned{reply[4]});
      }
    }
  }  // the reply buffer goes before the handle is closed
  result.info = std::move(info);
  return result;
}
