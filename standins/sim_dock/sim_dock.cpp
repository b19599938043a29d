#include "standins/sim_dock/sim_dock.h"

#include <windows.h>

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

std::mutex g_simLock;
std::optional<SimDockState> g_simFixed;  // set by tests; otherwise the state file
SimDockCounters g_simCounters;

// Opaque to the caller; the simulation hands out one of these per open.
struct SimHandle {
  SimDockState state;
};
int g_simDeviceTag = 0;  // address used as the libusb_device

SimDockState CurrentState() {
  if (g_simFixed) return *g_simFixed;
  SimDockState state;
  if (!LoadSimDockState(SimDockStatePath(), state)) state.present = false;
  return state;
}

}  // namespace

void SimDockSet(const SimDockState& state) {
  std::lock_guard<std::mutex> lock(g_simLock);
  g_simFixed = state;
}

void SimDockUseStateFile() {
  std::lock_guard<std::mutex> lock(g_simLock);
  g_simFixed.reset();
}

SimDockCounters SimDockCountersGet() {
  std::lock_guard<std::mutex> lock(g_simLock);
  return g_simCounters;
}

void SimDockCountersReset() {
  std::lock_guard<std::mutex> lock(g_simLock);
  g_simCounters = {};
}

// ---- the libusb calls, as the dock query makes them -------------------------

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
  if (context != nullptr) *context = nullptr;
  std::lock_guard<std::mutex> lock(g_simLock);
  return CurrentState().initResult;
}

void LIBUSB_CALL libusb_exit(libusb_context*) {}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor_id,
                                                                  uint16_t product_id) {
  std::lock_guard<std::mutex> lock(g_simLock);
  const SimDockState state = CurrentState();
  if (!state.present || vendor_id != 0x3A7D || product_id != 0xB070) return nullptr;
  ++g_simCounters.opens;
  return reinterpret_cast<libusb_device_handle*>(new SimHandle{state});
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
  return handle != nullptr ? reinterpret_cast<libusb_device*>(&g_simDeviceTag) : nullptr;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor) {
  std::memset(descriptor, 0, sizeof(*descriptor));
  descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
  descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
  descriptor->idVendor = 0x3A7D;
  descriptor->idProduct = 0xB070;
  descriptor->iManufacturer = 1;
  descriptor->iProduct = 2;
  descriptor->iSerialNumber = 3;
  descriptor->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                                   int length) {
  if (index == 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (index > 3) return LIBUSB_ERROR_PIPE;
  const SimDockState& state = reinterpret_cast<SimHandle*>(handle)->state;
  const std::string& text = index == 1 ? state.vendor : index == 2 ? state.product : state.serial;
  const int count = std::min(static_cast<int>(text.size()), length - 1);
  std::memcpy(data, text.data(), static_cast<size_t>(count));
  data[count] = 0;
  return count;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int) {
  {
    std::lock_guard<std::mutex> lock(g_simLock);
    ++g_simCounters.controlTransfers;
  }
  const SimDockState& state = reinterpret_cast<SimHandle*>(handle)->state;
  if (request_type != 0xC0 || bRequest != 0xD6 || wValue != 0 || wIndex != 0) return LIBUSB_ERROR_PIPE;
  if (state.controlResult < 0) return state.controlResult;
  std::uint8_t reply[8] = {0, 0, 0, 0, state.firmware[3], state.firmware[2], state.firmware[1], state.firmware[0]};
  const int count = std::min<int>({state.replyLength, wLength, 8});
  std::memcpy(data, reply, static_cast<size_t>(std::max(count, 0)));
  return std::min<int>(state.replyLength, wLength);
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  if (handle == nullptr) return;
  delete reinterpret_cast<SimHandle*>(handle);
  std::lock_guard<std::mutex> lock(g_simLock);
  ++g_simCounters.closes;
}

}  // extern "C"
