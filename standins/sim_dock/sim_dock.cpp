#include "standins/sim_dock/sim_dock.h"

#include <windows.h>

#include <libusb.h>

#include "update/power_status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <optional>
#include <sstream>

namespace {

std::mutex g_simLock;
std::optional<SimDockState> g_simFixed;  // set by tests; otherwise the state file
// The state a device list was made from, while the list lives: its docks
// open as listed, and a query reads the state file once, as before.
std::optional<SimDockState> g_simListed;
SimDockCounters g_simCounters;

// Opaque to the caller; the simulation hands out one of these per open.
struct SimHandle {
  SimDockState state;  // the opened dock's own (SimDockNumber)
  int index;
};
int g_simDeviceTags[SIM_DOCK_MAX_COUNT] = {};  // their addresses are the libusb_devices

// The dock's IDs, written out here rather than taken from the query's header,
// so that a wrong ID in the query finds no simulated dock.
constexpr std::uint16_t SIM_VENDOR_ID = 0x3A7D;
constexpr std::uint16_t SIM_PRODUCT_ID = 0xB070;

libusb_device* SimDevice(int index) { return reinterpret_cast<libusb_device*>(&g_simDeviceTags[index]); }
// The dock's index, or -1 for a device that is none of ours.
int SimDeviceIndex(libusb_device* device) {
  for (int index = 0; index < SIM_DOCK_MAX_COUNT; ++index) {
    if (device == SimDevice(index)) return index;
  }
  return -1;
}

int DockCount(const SimDockState& state) {
  return state.present ? std::clamp(state.count, 0, SIM_DOCK_MAX_COUNT) : 0;
}

// libusb_open on dock `index` in `state`; the caller holds g_simLock.
int OpenDock(const SimDockState& state, int index, libusb_device_handle** handle) {
  if (index < 0 || index >= DockCount(state)) return LIBUSB_ERROR_NO_DEVICE;
  const SimDockState dock = SimDockNumber(state, index);
  if (dock.openError != 0) return dock.openError;
  ++g_simCounters.opens;
  *handle = reinterpret_cast<libusb_device_handle*>(new SimHandle{dock, index});
  return LIBUSB_SUCCESS;
}

SimDockState CurrentState() {
  if (g_simFixed) return *g_simFixed;
  SimDockState state;
  if (!LoadSimDockState(SimDockStatePath(), state)) state.present = false;
  if (state.offlineUntil > SimDockNow() || state.offlineLooks > 0) state.present = false;
  if (state.unopenableUntil > SimDockNow() && state.openError == 0) state.openError = LIBUSB_ERROR_ACCESS;
  return state;
}

// The state for one listing of the bus: a reboot counted in looks loses one.
SimDockState ListingState() {
  if (g_simFixed) {
    if (g_simFixed->offlineLooks <= 0) return *g_simFixed;
    --g_simFixed->offlineLooks;
    SimDockState away = *g_simFixed;
    away.present = false;
    return away;
  }
  const SimDockState state = CurrentState();
  if (state.offlineLooks > 0) {
    SimDockState stored;
    if (LoadSimDockState(SimDockStatePath(), stored)) {
      --stored.offlineLooks;
      SaveSimDockState(SimDockStatePath(), stored);
    }
  }
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

// Where a simulated crash writes: a pointer the compiler cannot prove null.
void* volatile g_nowhere = nullptr;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
  if (context != nullptr) *context = nullptr;
  std::lock_guard<std::mutex> lock(g_simLock);
  const SimDockState state = CurrentState();  // read once: a test may serve each read
  if (state.initThrows) throw std::runtime_error("simulated fault in the USB library");
  if (state.initCrashes) *static_cast<volatile int*>(g_nowhere) = 1;
  return state.initResult;
}

void LIBUSB_CALL libusb_exit(libusb_context*) {}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor_id,
                                                                  uint16_t product_id) {
  if (vendor_id != SIM_VENDOR_ID || product_id != SIM_PRODUCT_ID) return nullptr;
  std::lock_guard<std::mutex> lock(g_simLock);
  libusb_device_handle* handle = nullptr;
  return OpenDock(CurrentState(), 0, &handle) == LIBUSB_SUCCESS ? handle : nullptr;
}

// The bus holds the docks alone, when they are present.
ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
  // One read of the state per listing: a test that serves each read counts them.
  SimDockState listed;
  {
    std::lock_guard<std::mutex> lock(g_simLock);
    listed = ListingState();
  }
  if (!listed.listGate.empty()) {
    const std::wstring name(listed.listGate.begin(), listed.listGate.end());
    if (HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name.c_str())) {
      WaitForSingleObject(event, 60000);
      CloseHandle(event);
    }
  }
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(g_simLock);
    g_simListed = listed;
    count = DockCount(*g_simListed);
  }
  auto* devices = new libusb_device*[SIM_DOCK_MAX_COUNT + 1]{};  // NULL-terminated, as libusb's
  for (int index = 0; index < count; ++index) devices[index] = SimDevice(index);
  *list = devices;
  return count;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int) {
  delete[] list;
  std::lock_guard<std::mutex> lock(g_simLock);
  g_simListed.reset();
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
  const int index = SimDeviceIndex(device);
  if (index < 0) return LIBUSB_ERROR_NO_DEVICE;
  std::lock_guard<std::mutex> lock(g_simLock);
  return OpenDock(g_simListed ? *g_simListed : CurrentState(), index, handle);
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
  return handle != nullptr ? SimDevice(reinterpret_cast<SimHandle*>(handle)->index) : nullptr;
}

// Word for word as libusb 1.0.28 names them.
const char* LIBUSB_CALL libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    // Transfer statuses share the name space, 0 with LIBUSB_SUCCESS.
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    default: return "**UNKNOWN**";
  }
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor) {
  std::memset(descriptor, 0, sizeof(*descriptor));
  descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
  descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
  descriptor->idVendor = SIM_VENDOR_ID;
  descriptor->idProduct = SIM_PRODUCT_ID;
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

PowerStatus ReadPowerStatus() {
  std::lock_guard<std::mutex> lock(g_simLock);
  const SimDockState state = CurrentState();
  PowerStatus status;
  status.acLine = state.acLine;
  status.batteryPercent = state.batteryPercent;
  return status;
}
