#include "tests/host/emulated_dock.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <thread>

namespace {

constexpr std::size_t SETUP_LENGTH = 8;
constexpr std::uint8_t REQUEST_GET_DESCRIPTOR = 0x06;
constexpr std::uint8_t STANDARD_DEVICE_IN = 0x80;
constexpr std::uint8_t DESCRIPTOR_DEVICE = 0x01;
constexpr std::uint8_t DESCRIPTOR_CONFIG = 0x02;
constexpr std::uint8_t DESCRIPTOR_STRING = 0x03;
// umockdev's socket path sits under TMPDIR and sun_path is short.
constexpr std::size_t LONGEST_TESTBED_ROOT = 60;

std::uint16_t Le16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

void PushLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

}  // namespace

bool SetupPacket::operator==(const SetupPacket& other) const {
  return bmRequestType == other.bmRequestType && bRequest == other.bRequest && wValue == other.wValue &&
         wIndex == other.wIndex && wLength == other.wLength;
}

std::ostream& operator<<(std::ostream& out, const SetupPacket& setup) {
  char text[64];
  std::snprintf(text, sizeof text, "{0x%02X, 0x%02X, 0x%04X, 0x%04X, %u}", setup.bmRequestType, setup.bRequest,
                setup.wValue, setup.wIndex, unsigned{setup.wLength});
  return out << text;
}

std::vector<std::uint8_t> DeviceAndConfigDescriptors(const DockModel& model) {
  std::vector<std::uint8_t> bytes{18, DESCRIPTOR_DEVICE};
  PushLe16(bytes, 0x0200);           // bcdUSB
  bytes.insert(bytes.end(), {0, 0, 0, 64});  // class, subclass, protocol, bMaxPacketSize0
  PushLe16(bytes, model.vendorId);
  PushLe16(bytes, model.productId);
  PushLe16(bytes, 0x0100);  // bcdDevice
  bytes.insert(bytes.end(), {model.iManufacturer, model.iProduct, model.iSerialNumber, 1});
  // Configuration 1 with a single vendor-class interface and no endpoints.
  bytes.insert(bytes.end(), {9, DESCRIPTOR_CONFIG});
  PushLe16(bytes, 18);  // wTotalLength
  bytes.insert(bytes.end(), {1, 1, 0, 0x80, 50});
  bytes.insert(bytes.end(), {9, 0x04, 0, 0, 0, 0xFF, 0, 0, 0});
  return bytes;
}

// ---------------------------------------------------------------------------

EmulatedDock::EmulatedDock(const DockModel& model, std::string devnode)
    : model_(model), devnode_(std::move(devnode)), handler_(umockdev_ioctl_base_new()) {
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctlThunk), this);
  // umockdev 0.17 does not emit "client-vanished" when the node is closed,
  // but it does clear the client's "connected" property.
  g_signal_connect(handler_, "client-connected", G_CALLBACK(ConnectedThunk), this);
}

EmulatedDock::~EmulatedDock() {
  g_signal_handlers_disconnect_by_data(handler_, this);
  for (Urb& urb : reapable_) Release(urb);
  for (Urb& urb : pending_) Release(urb);
  for (UMockdevIoctlClient* client : clients_) g_object_unref(client);
  g_object_unref(handler_);
}

int EmulatedDock::HandleIoctlThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<EmulatedDock*>(self)->HandleIoctl(client);
  return TRUE;  // every request is completed here, known or not
}

void EmulatedDock::ConnectedThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto* dock = static_cast<EmulatedDock*>(self);
  std::lock_guard<std::mutex> lock(dock->mutex_);
  dock->clients_.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
}

void EmulatedDock::Release(Urb& urb) {
  g_clear_object(&urb.buffer);
  g_clear_object(&urb.urb);
}

void EmulatedDock::HandleIoctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  std::lock_guard<std::mutex> lock(mutex_);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                            sizeof(std::uint32_t), nullptr);
      const std::uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      std::memcpy(caps->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(caps);
      return;
    }
    case USBDEVFS_SUBMITURB:
      Submit(client);
      return;
    case USBDEVFS_REAPURBNDELAY:
      Reap(client);
      return;
    case USBDEVFS_DISCARDURB:
      Discard(client);
      return;
    default:
      unknownIoctls_.push_back(request);
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return;
  }
}

void EmulatedDock::Submit(UMockdevIoctlClient* client) {
  ++submitted_;
  Urb urb;
  urb.urb = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb), nullptr);
  auto* header = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
  if (header->type != USBDEVFS_URB_TYPE_CONTROL || header->buffer_length < static_cast<int>(SETUP_LENGTH)) {
    // The dock has control endpoint 0 only.
    Release(urb);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                           static_cast<gsize>(header->buffer_length), nullptr);
  const std::uint8_t* raw = urb.buffer->data;
  const SetupPacket setup{raw[0], raw[1], Le16(raw + 2), Le16(raw + 4), Le16(raw + 6)};
  requests_.push_back(setup);

  Outcome outcome = Answer(setup);
  const std::size_t room = std::min<std::size_t>(setup.wLength, static_cast<std::size_t>(header->buffer_length) - SETUP_LENGTH);
  if (outcome.reply.size() > room) outcome.reply.resize(room);

  switch (outcome.kind) {
    case Outcome::FailSubmit:
      Release(urb);
      umockdev_ioctl_client_complete(client, -1, outcome.status);
      return;
    case Outcome::Hold:
      pending_.push_back(std::move(urb));
      break;
    case Outcome::Complete:
      urb.status = outcome.status;
      urb.reply = std::move(outcome.reply);
      reapable_.push_back(std::move(urb));
      break;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedDock::Reap(UMockdevIoctlClient* client) {
  if (reapable_.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  Urb urb = std::move(reapable_.front());
  reapable_.pop_front();
  // The reply is written only now, when the host takes the URB back; the
  // local copies are synced to libusb's memory when this ioctl completes.
  auto* header = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
  std::copy(urb.reply.begin(), urb.reply.end(), urb.buffer->data + SETUP_LENGTH);
  header->actual_length = static_cast<int>(urb.reply.size());
  header->status = urb.status;
  UMockdevIoctlData* slot =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), nullptr);
  umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(slot);
  Release(urb);
}

void EmulatedDock::Discard(UMockdevIoctlClient* client) {
  // The argument is the URB's address in the client.
  gulong address = 0;
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::memcpy(&address, arg->data, sizeof address);
  const auto found = std::find_if(pending_.begin(), pending_.end(),
                                  [address](const Urb& urb) { return urb.urb->client_addr == address; });
  if (found == pending_.end()) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  ++discarded_;
  Urb urb = std::move(*found);
  pending_.erase(found);
  urb.status = -ENOENT;
  urb.reply.clear();
  reapable_.push_back(std::move(urb));
  umockdev_ioctl_client_complete(client, 0, 0);
}

EmulatedDock::Outcome EmulatedDock::Answer(const SetupPacket& setup) {
  Outcome stall{Outcome::Complete, -EPIPE, {}};
  if (setup.bmRequestType == STANDARD_DEVICE_IN && setup.bRequest == REQUEST_GET_DESCRIPTOR) {
    const auto type = static_cast<std::uint8_t>(setup.wValue >> 8);
    const auto index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    const std::vector<std::uint8_t> all = DeviceAndConfigDescriptors(model_);
    if (type == DESCRIPTOR_DEVICE) return {Outcome::Complete, 0, {all.begin(), all.begin() + 18}};
    if (type == DESCRIPTOR_CONFIG) return {Outcome::Complete, 0, {all.begin() + 18, all.end()}};
    if (type == DESCRIPTOR_STRING) {
      if (index != 0) stringIndexes_.push_back(index);
      std::vector<std::uint8_t> descriptor = StringDescriptor(index, setup.wIndex);
      if (descriptor.empty()) return stall;
      return {Outcome::Complete, 0, std::move(descriptor)};
    }
    return stall;
  }
  if (setup.bmRequestType == DOCK_REQUEST_TYPE_VENDOR_IN && setup.bRequest == DOCK_REQ_FW_VERSION) {
    switch (model_.vendorBehaviour) {
      case VendorBehaviour::Answer:
        return {Outcome::Complete, 0, model_.vendorReply};
      case VendorBehaviour::Stall:
        return stall;
      case VendorBehaviour::VanishOnSubmit:
        return {Outcome::FailSubmit, ENODEV, {}};
      case VendorBehaviour::VanishInFlight:
        return {Outcome::Complete, -ESHUTDOWN, {}};
      case VendorBehaviour::NeverAnswer:
        return {Outcome::Hold, 0, {}};
    }
  }
  return stall;
}

std::vector<std::uint8_t> EmulatedDock::StringDescriptor(std::uint8_t index, std::uint16_t language) const {
  std::vector<std::uint8_t> descriptor{0, DESCRIPTOR_STRING};
  if (index == 0) {
    for (std::uint16_t id : model_.languages) PushLe16(descriptor, id);
  } else {
    const auto text = model_.strings.find(index);
    const bool known_language = std::find(model_.languages.begin(), model_.languages.end(), language) !=
                                model_.languages.end();
    if (text == model_.strings.end() || !known_language) return {};
    for (char16_t unit : text->second.substr(0, 126)) PushLe16(descriptor, unit);  // bLength is one byte
  }
  descriptor[0] = static_cast<std::uint8_t>(descriptor.size());
  return descriptor;
}

std::vector<SetupPacket> EmulatedDock::ControlRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::uint8_t> EmulatedDock::StringIndexesRead() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stringIndexes_;
}

int EmulatedDock::UrbsSubmitted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return submitted_;
}

int EmulatedDock::UrbsDiscarded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return discarded_;
}

std::vector<unsigned long> EmulatedDock::UnknownIoctls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unknownIoctls_;
}

int EmulatedDock::Opens() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(clients_.size());
}

int EmulatedDock::Closes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(clients_.begin(), clients_.end(), [](UMockdevIoctlClient* client) {
    return !umockdev_ioctl_client_get_connected(client);
  }));
}

bool EmulatedDock::WaitUntilClosed(std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (Closes() != Opens()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---------------------------------------------------------------------------

EmulatedBus::EmulatedBus() : testbed_(umockdev_testbed_new()) {
  if (!umockdev_in_mock_environment()) {
    g_object_unref(testbed_);
    throw std::runtime_error("umockdev is not active: link libumockdev-preload first or run under umockdev-wrapper");
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  const std::size_t root_length = std::strlen(root);
  g_free(root);
  if (root_length > LONGEST_TESTBED_ROOT) {
    g_object_unref(testbed_);
    throw std::runtime_error("TMPDIR is too long for umockdev's sockets; use a short one such as /tmp");
  }
}

EmulatedBus::~EmulatedBus() {
  // The testbed stops its handler thread before the docks it calls go away.
  g_object_unref(testbed_);
  docks_.clear();
}

EmulatedDock& EmulatedBus::Add(const DockModel& model) {
  const int address = static_cast<int>(docks_.size()) + 2;  // 1 is the root hub's
  char devnum[12];
  std::snprintf(devnum, sizeof devnum, "%03d", address);
  const std::string devnode = std::string("/dev/bus/usb/001/") + devnum;
  auto dock = std::make_unique<EmulatedDock>(model, devnode);

  GError* error = nullptr;
  // The handler goes first, or libusb could open a node nobody answers.
  if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), dock->Handler(), &error)) {
    const std::string message = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("attaching the ioctl handler failed: " + message);
  }
  const std::string descriptors = Hex(DeviceAndConfigDescriptors(model));
  const std::string port = std::to_string(address - 1);
  const std::string record = "P: /devices/usb1/1-" + port + "\n" +
                             "N: bus/usb/001/" + devnum + "=" + descriptors + "\n" +
                             "E: SUBSYSTEM=usb\n"
                             "E: DEVTYPE=usb_device\n"
                             "E: DRIVER=usb\n"
                             "E: BUSNUM=001\n"
                             "E: DEVNUM=" + devnum + "\n" +
                             "E: DEVNAME=" + devnode + "\n" +
                             "A: busnum=1\\n\n"
                             "A: devnum=" + std::to_string(address) + "\\n\n" +
                             "A: speed=480\\n\n"
                             "A: bConfigurationValue=1\\n\n"
                             "H: descriptors=" + descriptors + "\n";
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    const std::string message = error ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("adding the emulated device failed: " + message);
  }
  if (!model.nodeOpens) {
    // A directory in the node's place: file modes would not stop root.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const std::filesystem::path node = std::string(root) + devnode;
    g_free(root);
    std::filesystem::remove(node);
    std::filesystem::create_directory(node);
  }
  docks_.push_back(std::move(dock));
  return *docks_.back();
}
