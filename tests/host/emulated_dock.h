#pragma once
// Emulated USB docks for native tests: umockdev puts a device node and its
// sysfs entry in a private testbed, so real libusb finds, opens and talks to
// the dock as to hardware, and every control request it sends is answered and
// recorded here.
#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "docks/dock_query.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// How the dock treats the firmware-version request.
enum class VendorBehaviour {
  Answer,          // completes with DockModel::vendorReply
  Stall,           // URB status -EPIPE
  VanishOnSubmit,  // submitting fails with ENODEV, as for an unplugged dock
  VanishInFlight,  // URB completes with -ESHUTDOWN, as when unplugged mid-transfer
  NeverAnswer,     // URB stays pending until the host discards it
};

struct SetupPacket {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  bool operator==(const SetupPacket& other) const;
};
std::ostream& operator<<(std::ostream& out, const SetupPacket& setup);

struct DockModel {
  std::uint16_t vendorId = DOCK_VENDOR_ID;
  std::uint16_t productId = DOCK_PRODUCT_ID;
  std::uint8_t iManufacturer = 1;
  std::uint8_t iProduct = 2;
  std::uint8_t iSerialNumber = 3;
  std::vector<std::uint16_t> languages{0x0409};
  // String descriptors by index, in the first language. Reading an index that
  // is missing here stalls, as real firmware does.
  std::map<std::uint8_t, std::u16string> strings;
  VendorBehaviour vendorBehaviour = VendorBehaviour::Answer;
  std::vector<std::uint8_t> vendorReply;  // cut to the request's wLength
  // False: libusb lists the device but cannot open its node (open(2) fails
  // with EISDIR, which libusb reports as LIBUSB_ERROR_IO). umockdev 0.17
  // keeps a slot of its fd map for every failed open and aborts after about
  // 50 in one process: not for runs with --gtest_repeat.
  bool nodeOpens = true;
};

class EmulatedDock {
 public:
  EmulatedDock(const DockModel& model, std::string devnode);
  ~EmulatedDock();
  EmulatedDock(const EmulatedDock&) = delete;
  EmulatedDock& operator=(const EmulatedDock&) = delete;

  // Every control setup packet submitted, in order.
  std::vector<SetupPacket> ControlRequests() const;
  // The index of every string descriptor asked for, except the language list.
  std::vector<std::uint8_t> StringIndexesRead() const;
  int UrbsSubmitted() const;
  int UrbsDiscarded() const;
  // Requests the emulation does not know; they fail with ENOTTY.
  std::vector<unsigned long> UnknownIoctls() const;

  // Opens and closes of the device node, as umockdev's connections to it.
  int Opens() const;
  int Closes() const;
  // True once every open of the node has been closed. umockdev notices a
  // close on its own thread, so this waits up to `limit` for it.
  bool WaitUntilClosed(std::chrono::milliseconds limit) const;

  const std::string& Devnode() const { return devnode_; }
  UMockdevIoctlBase* Handler() const { return handler_; }

 private:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    std::vector<std::uint8_t> reply;
    int status = 0;
  };
  // What the dock does with one submitted URB.
  struct Outcome {
    enum { Complete, Hold, FailSubmit } kind = Complete;
    int status = 0;  // URB status for Complete, errno for FailSubmit
    std::vector<std::uint8_t> reply;
  };

  static int HandleIoctlThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static void ConnectedThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);

  void HandleIoctl(UMockdevIoctlClient* client);
  void Submit(UMockdevIoctlClient* client);
  void Reap(UMockdevIoctlClient* client);
  void Discard(UMockdevIoctlClient* client);
  Outcome Answer(const SetupPacket& setup);
  std::vector<std::uint8_t> StringDescriptor(std::uint8_t index, std::uint16_t language) const;
  static void Release(Urb& urb);

  const DockModel model_;
  const std::string devnode_;
  UMockdevIoctlBase* handler_ = nullptr;

  // The handler runs on umockdev's thread, the tests read from theirs.
  mutable std::mutex mutex_;
  std::vector<SetupPacket> requests_;
  std::vector<std::uint8_t> stringIndexes_;
  std::vector<unsigned long> unknownIoctls_;
  int submitted_ = 0;
  int discarded_ = 0;
  // Every connection umockdev made for an open of the node, kept to ask
  // whether it is still connected.
  std::vector<UMockdevIoctlClient*> clients_;
  std::deque<Urb> reapable_;
  std::vector<Urb> pending_;
};

// A umockdev testbed holding any number of emulated devices on bus 1. Add
// every device before libusb_init so that libusb's first scan sees them all.
class EmulatedBus {
 public:
  EmulatedBus();  // throws std::runtime_error when umockdev is not active
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  EmulatedDock& Add(const DockModel& model);

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::vector<std::unique_ptr<EmulatedDock>> docks_;
};

// The device descriptor followed by one configuration with one vendor
// interface, as the dock reports them.
std::vector<std::uint8_t> DeviceAndConfigDescriptors(const DockModel& model);
