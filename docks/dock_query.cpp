#include "docks/dock_info.h"

#include <libusb.h>

#include <cstdio>
#include <memory>
#include <vector>

#include <spdlog/spdlog.h>

#include "docks/ascii_text.h"

namespace {

struct UsbHandleCloser {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using UsbHandle = std::unique_ptr<libusb_device_handle, UsbHandleCloser>;

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

std::optional<DockInfo> QueryDock() {
  UsbHandle handle(libusb_open_device_with_vid_pid(nullptr, DOCK_VENDOR_ID, DOCK_PRODUCT_ID));
  if (!handle) {
    spdlog::error("libusb_open_device_with_vid_pid failed");
    return std::nullopt;
  }
  libusb_device* device = libusb_get_device(handle.get());
  if (device == nullptr) return std::nullopt;

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
      spdlog::error("libusb_control_transfer failed {}", result);
    } else {
      info.FwRev = FormatFirmwareVersion(reply.data());
      spdlog::info("fwver {0}.{1}.{2}.{3}", unsigned{reply[7]}, unsigned{reply[6]}, unsigned{reply[5]},
                   unsigned{reply[4]});
    }
  }  // the reply buffer goes before the handle is closed
  return info;
}
