#include "docks/dock_query.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "base/text_conversion.h"

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

// libusb_open_device_with_vid_pid says only that it opened nothing. It tries
// the first device with the dock's IDs, so look at that same device again:
// none listed means no dock; one that refuses to open is a dock without a
// usable driver (LIBUSB_ERROR_NOT_SUPPORTED on Windows), which the user can fix.
DockQueryResult DiagnoseUnopenedDock() {
  DockQueryResult result;
  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(nullptr, &devices);
  if (count < 0) return result;  // no list was made
  const UsbDeviceList list(devices);
  libusb_device** const end = list.get() + count;
  libusb_device** const dock = std::find_if(list.get(), end, IsDock);
  if (dock == end) return result;

  libusb_device_handle* opened = nullptr;
  const int code = libusb_open(*dock, &opened);
  if (code == LIBUSB_SUCCESS) {
    // The dock arrived or got its driver since the first look. Not read here:
    // its arrival brings its own refresh, and this query already logged that
    // it found nothing.
    const UsbHandle closing(opened);
    return result;
  }
  spdlog::error(LOG_DOCK_UNOPENABLE, UsbErrorText(code));
  result.presence = DockPresence::Unopenable;
  result.openError = code;
  return result;
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

std::wstring FormatFirmwareVersion(const std::uint8_t* reply) {
  wchar_t text[32] = {};
  std::swprintf(text, 32, L"%d.%d.%d.%d", int{reply[7]}, int{reply[6]}, int{reply[5]}, int{reply[4]});
  return text;
}

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
  UsbHandle handle(libusb_open_device_with_vid_pid(nullptr, DOCK_VENDOR_ID, DOCK_PRODUCT_ID));
  if (!handle) {
    spdlog::error(LOG_NO_DOCK_OPENED);
    return DiagnoseUnopenedDock();
  }
  DockQueryResult result;
  result.presence = DockPresence::Opened;
  libusb_device* device = libusb_get_device(handle.get());
  if (device == nullptr) return result;

  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);

  DockInfo info;
  const std::string vendor = ReadDockString(handle.get(), descriptor.iManufacturer);
  info.Vendor = AsciiToWide(vendor.c_str());
  spdlog::info("iManufacturer {}", vendor);
  const std::string product = ReadDockString(handle.get(), descriptor.iProduct);
  info.Product = AsciiToWide(product.c_str());
  spdlog::info("iProduct {}", product);
  const std::string serial = ReadDockString(handle.get(), descriptor.iSerialNumber);
  info.SerialNumber = AsciiToWide(serial.c_str());
  spdlog::info("iSerialNumber {}", serial);

  {
    std::vector<std::uint8_t> reply(DOCK_FW_REPLY_LENGTH, 0);
    const int result = libusb_control_transfer(handle.get(), DOCK_REQUEST_TYPE_VENDOR_IN, DOCK_REQ_FW_VERSION, 0, 0,
                                               reply.data(), DOCK_FW_REPLY_LENGTH, DOCK_FW_TIMEOUT_MS);
    if (result < 0) {
      spdlog::error(LOG_FW_REQUEST_FAILED, result);
    } else if (result < DOCK_FW_REPLY_MIN_LENGTH) {
      // The version lies in bytes 4 to 7: a shorter reply has none to show.
      spdlog::error("libusb_control_transfer short reply {}", result);
    } else {
      info.FwRev = FormatFirmwareVersion(reply.data());
      spdlog::info("fwver {0}.{1}.{2}.{3}", unsigned{reply[7]}, unsigned{reply[6]}, unsigned{reply[5]},
                   unsigned{reply[4]});
    }
  }  // the reply buffer goes before the handle is closed
  result.info = std::move(info);
  return result;
}
