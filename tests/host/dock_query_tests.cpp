// QueryDock against real libusb talking to an emulated dock.
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "docks/dock_query.h"
#include "tests/host/emulated_dock.h"
#include "tests/host/log_capture.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace std::chrono_literals;

namespace {

const SetupPacket FIRMWARE_REQUEST{0xC0, 0xD6, 0x0000, 0x0000, 1024};
constexpr auto CLOSE_WAIT = 2s;

// Version bytes 4..7 are distinct and surrounded by other data, so a wrong
// offset or order shows.
DockModel StandardDock() {
  DockModel dock;
  dock.iManufacturer = 4;
  dock.iProduct = 1;
  dock.iSerialNumber = 7;
  dock.strings = {{4, u"Varnock"}, {1, u"USB-C Dock D70"}, {7, u"VN70-0042318"}};
  dock.vendorReply = {0xA1, 0xA2, 0xA3, 0xA4, 3, 12, 2, 1, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
  return dock;
}

// The standard dock with one field changed.
template <typename Field>
DockModel StandardDockWith(Field DockModel::*field, Field value) {
  DockModel dock = StandardDock();
  dock.*field = std::move(value);
  return dock;
}

// The log of a query of the standard dock: its three strings, then `last`.
std::vector<std::string> StandardLinesThen(const std::string& last) {
  return {"info iManufacturer Varnock", "info iProduct USB-C Dock D70", "info iSerialNumber VN70-0042318", last};
}

int FirmwareRequestsSeen(const EmulatedDock& dock) {
  const std::vector<SetupPacket> requests = dock.ControlRequests();
  return static_cast<int>(std::count_if(requests.begin(), requests.end(), [](const SetupPacket& setup) {
    return setup.bmRequestType == DOCK_REQUEST_TYPE_VENDOR_IN;
  }));
}

void ExpectOpenedOnceAndClosed(const EmulatedDock& dock) {
  EXPECT_TRUE(dock.WaitUntilClosed(CLOSE_WAIT)) << dock.Devnode() << " left open: " << dock.Opens()
                                                << " opens, " << dock.Closes() << " closes";
  EXPECT_EQ(dock.Opens(), 1);
  EXPECT_THAT(dock.UnknownIoctls(), ::testing::IsEmpty());
}

// libusb's warnings while a session ends: it names every device still
// referenced, by a device list or a handle the query did not give back. Its
// event thread is joined by then, so only this thread writes here.
std::vector<std::string> g_exitWarnings;

void LIBUSB_CALL CollectWarning(libusb_context*, enum libusb_log_level level, const char* text) {
  if (level == LIBUSB_LOG_LEVEL_WARNING) g_exitWarnings.emplace_back(text);
}

std::vector<std::string> EndUsbSession() {
  g_exitWarnings.clear();
  libusb_set_log_cb(nullptr, CollectWarning, LIBUSB_LOG_CB_GLOBAL);
  libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING);
  libusb_exit(nullptr);
  // The level outlives the session: later sessions stay quiet.
  libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
  libusb_set_log_cb(nullptr, nullptr, LIBUSB_LOG_CB_GLOBAL);
  return g_exitWarnings;
}

class DockQuery : public ::testing::Test {
 protected:
  std::optional<DockInfo> Query() { return InUsbSession(QueryDock); }
  DockQueryResult QueryDiagnosed() { return InUsbSession(QueryDockDiagnosed); }

  // One libusb session per query, as each test's devices are new.
  template <typename Result>
  Result InUsbSession(Result (*query)()) {
    if (libusb_init(nullptr) != LIBUSB_SUCCESS) {
      ADD_FAILURE() << "libusb_init failed";
      return {};
    }
    Result result = query();
    EXPECT_THAT(EndUsbSession(), ::testing::IsEmpty()) << "the query kept libusb devices";
    return result;
  }

  EmulatedBus bus_;
  LogCapture log_;
};

// A query test over a table of cases, each named by its `name`, which names the test too.
template <typename Case>
class DockQueryCases : public DockQuery, public ::testing::WithParamInterface<Case> {};
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

// --- a dock that answers everything -----------------------------------------

TEST_F(DockQuery, ReadsStringsAndFirmwareRevisionThenCloses) {
  EmulatedDock& dock = bus_.Add(StandardDock());

  const DockQueryResult result = QueryDiagnosed();

  EXPECT_EQ(result.presence, DockPresence::Opened);
  EXPECT_EQ(result.openError, 0);
  EXPECT_EQ(result.dockCount, 1);
  ASSERT_TRUE(result.info.has_value());
  const DockInfo& info = *result.info;
  EXPECT_EQ(info.Vendor, L"Varnock");
  EXPECT_EQ(info.Product, L"USB-C Dock D70");
  EXPECT_EQ(info.SerialNumber, L"VN70-0042318");
  EXPECT_EQ(info.FwRev, L"1.2.12.3");
  EXPECT_THAT(log_.Lines(), ElementsAreArray(StandardLinesThen("info fwver 1.2.12.3")));

  // Strings in column order by their own indexes, then one firmware request.
  EXPECT_THAT(dock.StringIndexesRead(), ElementsAre(4, 1, 7));
  const std::vector<SetupPacket> requests = dock.ControlRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back(), FIRMWARE_REQUEST);
  EXPECT_EQ(FirmwareRequestsSeen(dock), 1);
  ExpectOpenedOnceAndClosed(dock);
}

// --- no dock ----------------------------------------------------------------

TEST_F(DockQuery, FindsNoDockAmongOtherDevices) {
  // Same maker, other product; other maker, same product number; ids swapped.
  std::vector<EmulatedDock*> others;
  for (const auto& ids : {std::pair<std::uint16_t, std::uint16_t>{DOCK_VENDOR_ID, 0xB071},
                          {0x1D6B, DOCK_PRODUCT_ID},
                          {DOCK_PRODUCT_ID, DOCK_VENDOR_ID}}) {
    DockModel model = StandardDock();
    model.vendorId = ids.first;
    model.productId = ids.second;
    others.push_back(&bus_.Add(model));
  }

  EXPECT_EQ(Query(), std::nullopt);

  EXPECT_THAT(log_.Lines(), ElementsAre("error libusb_open_device_with_vid_pid failed"));
  for (const EmulatedDock* other : others) {
    EXPECT_EQ(other->Opens(), 0) << other->Devnode();
    EXPECT_THAT(other->ControlRequests(), ::testing::IsEmpty()) << other->Devnode();
  }
}

// --- no dock could be opened: why ------------------------------------------

struct UnopenedDock {
  const char* name;
  std::vector<DockModel> devices;
  DockPresence presence;
  int openError;
  std::vector<std::string> lines;
  int dockCount;
};

void PrintTo(const UnopenedDock& param, std::ostream* out) { *out << param.name; }

DockModel WithNodeThatWillNotOpen(DockModel model) {
  model.nodeOpens = false;
  return model;
}

DockModel OtherProduct(DockModel model) {
  model.productId = 0xB071;
  return model;
}

using NoDockOpened = DockQueryCases<UnopenedDock>;

TEST_P(NoDockOpened, TellsAbsentFromUnopenable) {
  for (const DockModel& device : GetParam().devices) bus_.Add(device);

  const DockQueryResult result = QueryDiagnosed();

  EXPECT_EQ(result.info, std::nullopt);
  EXPECT_EQ(result.presence, GetParam().presence);
  EXPECT_EQ(result.openError, GetParam().openError);
  EXPECT_EQ(result.dockCount, GetParam().dockCount);
  EXPECT_THAT(log_.Lines(), ElementsAreArray(GetParam().lines));
}

INSTANTIATE_TEST_SUITE_P(
    Bus, NoDockOpened,
    ::testing::Values(
        // open(2) fails with EISDIR, which libusb's Linux backend does not map
        // to a named error: LIBUSB_ERROR_IO.
        UnopenedDock{"DockNodeWillNotOpen",
                     {WithNodeThatWillNotOpen(StandardDock())},
                     DockPresence::Unopenable,
                     LIBUSB_ERROR_IO,
                     {"error libusb_open_device_with_vid_pid failed",
                      "error QueryDock dock present but cannot be opened LIBUSB_ERROR_IO (-1)"},
                     1},
        UnopenedDock{"TwoDocksNeitherOpens",
                     {WithNodeThatWillNotOpen(StandardDock()), WithNodeThatWillNotOpen(StandardDock())},
                     DockPresence::Unopenable,
                     LIBUSB_ERROR_IO,
                     {"info QueryDock 2 docks on the bus", "error libusb_open_device_with_vid_pid failed",
                      "error QueryDock dock present but cannot be opened LIBUSB_ERROR_IO (-1)"},
                     2},
        UnopenedDock{"EmptyBus", {}, DockPresence::Absent, 0, {"error libusb_open_device_with_vid_pid failed"}, 0},
        // A device that cannot be opened is no dock unless it has the dock's IDs.
        UnopenedDock{"OtherDeviceWillNotOpen",
                     {WithNodeThatWillNotOpen(OtherProduct(StandardDock()))},
                     DockPresence::Absent,
                     0,
                     {"error libusb_open_device_with_vid_pid failed"},
                     0}),
    CaseName());

// --- the firmware request fails ---------------------------------------------

struct VendorFailure {
  const char* name;
  VendorBehaviour behaviour;
  int code;
};

// Test names show the case, not the bytes of the parameter.
void PrintTo(const VendorFailure& param, std::ostream* out) { *out << param.name; }

using VendorRequestFailure = DockQueryCases<VendorFailure>;

TEST_P(VendorRequestFailure, KeepsStringsLeavesRevisionEmptyAndCloses) {
  EmulatedDock& dock = bus_.Add(StandardDockWith(&DockModel::vendorBehaviour, GetParam().behaviour));

  const auto start = std::chrono::steady_clock::now();
  const std::optional<DockInfo> info = Query();
  const auto elapsed = std::chrono::steady_clock::now() - start;

  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->Vendor, L"Varnock");
  EXPECT_EQ(info->Product, L"USB-C Dock D70");
  EXPECT_EQ(info->SerialNumber, L"VN70-0042318");
  EXPECT_EQ(info->FwRev, L"");
  EXPECT_THAT(log_.Lines(),
              ElementsAreArray(StandardLinesThen("error libusb_control_transfer failed " + std::to_string(GetParam().code))));
  EXPECT_EQ(FirmwareRequestsSeen(dock), 1);
  ExpectOpenedOnceAndClosed(dock);

  if (GetParam().behaviour == VendorBehaviour::NeverAnswer) {
    // libusb gave up on its own after the request's timeout and withdrew the URB.
    EXPECT_EQ(dock.UrbsDiscarded(), 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(DOCK_FW_TIMEOUT_MS - 100));
    EXPECT_LT(elapsed, std::chrono::milliseconds(DOCK_FW_TIMEOUT_MS + 5000));
  } else {
    EXPECT_LT(elapsed, 2s);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dock, VendorRequestFailure,
    ::testing::Values(VendorFailure{"Stall", VendorBehaviour::Stall, LIBUSB_ERROR_PIPE},
                      VendorFailure{"GoneBeforeSubmit", VendorBehaviour::VanishOnSubmit, LIBUSB_ERROR_NO_DEVICE},
                      VendorFailure{"GoneInFlight", VendorBehaviour::VanishInFlight, LIBUSB_ERROR_NO_DEVICE},
                      // Waits the real timeout: the only such case.
                      VendorFailure{"NoAnswer", VendorBehaviour::NeverAnswer, LIBUSB_ERROR_TIMEOUT}),
    CaseName());

// --- what the firmware reply holds ------------------------------------------

struct FirmwareReply {
  const char* name;
  std::vector<std::uint8_t> reply;
  const wchar_t* revision;
  const char* logged;
};

void PrintTo(const FirmwareReply& param, std::ostream* out) { *out << param.name; }

using FirmwareRevision = DockQueryCases<FirmwareReply>;

TEST_P(FirmwareRevision, ComesFromReplyBytesSevenToFour) {
  EmulatedDock& dock = bus_.Add(StandardDockWith(&DockModel::vendorReply, GetParam().reply));

  const std::optional<DockInfo> info = Query();

  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->FwRev, GetParam().revision);
  EXPECT_THAT(log_.Lines(), ElementsAreArray(StandardLinesThen(GetParam().logged)));
  ExpectOpenedOnceAndClosed(dock);
}

INSTANTIATE_TEST_SUITE_P(
    Dock, FirmwareRevision,
    ::testing::Values(
        // A reply that stops before byte 7 holds no version: none is shown or claimed.
        FirmwareReply{"SixByteReply", {0xA1, 0xA2, 0xA3, 0xA4, 5, 1}, L"", "error libusb_control_transfer short reply 6"},
        FirmwareReply{"SevenByteReply", {0, 0, 0, 0, 4, 3, 2}, L"", "error libusb_control_transfer short reply 7"},
        FirmwareReply{"EmptyReply", {}, L"", "error libusb_control_transfer short reply 0"},
        FirmwareReply{"EightByteReply", {0, 0, 0, 0, 4, 3, 2, 1}, L"1.2.3.4", "info fwver 1.2.3.4"},
        // Each byte is unsigned: 0xFF is 255, 0x80 is 128.
        FirmwareReply{"HighBytes", {0, 0, 0, 0, 0xFF, 0x80, 0x7F, 0xFF}, L"255.127.128.255", "info fwver 255.127.128.255"}),
    CaseName());

// --- strings the dock lacks or cannot give ----------------------------------

struct StringLayout {
  const char* name;
  std::uint8_t iManufacturer, iProduct, iSerialNumber;
  std::map<std::uint8_t, std::u16string> strings;  // an index missing here stalls
  std::vector<std::uint8_t> indexesRead;
  std::string vendor, product, serial;  // as ASCII
};

void PrintTo(const StringLayout& param, std::ostream* out) { *out << param.name; }

using DockStrings = DockQueryCases<StringLayout>;

TEST_P(DockStrings, EachStringStandsOnItsOwn) {
  const StringLayout& layout = GetParam();
  DockModel model = StandardDock();
  model.iManufacturer = layout.iManufacturer;
  model.iProduct = layout.iProduct;
  model.iSerialNumber = layout.iSerialNumber;
  model.strings = layout.strings;
  EmulatedDock& dock = bus_.Add(model);

  const std::optional<DockInfo> info = Query();

  ASSERT_TRUE(info.has_value());
  const auto wide = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };
  EXPECT_EQ(info->Vendor, wide(layout.vendor));
  EXPECT_EQ(info->Product, wide(layout.product));
  EXPECT_EQ(info->SerialNumber, wide(layout.serial));
  EXPECT_EQ(info->FwRev, L"1.2.12.3");  // a failed string does not stop the query
  EXPECT_THAT(log_.Lines(), ElementsAre("info iManufacturer " + layout.vendor, "info iProduct " + layout.product,
                                        "info iSerialNumber " + layout.serial, "info fwver 1.2.12.3"));
  EXPECT_THAT(dock.StringIndexesRead(), ElementsAreArray(layout.indexesRead));
  ExpectOpenedOnceAndClosed(dock);
}

INSTANTIATE_TEST_SUITE_P(
    Dock, DockStrings,
    ::testing::Values(
        StringLayout{"NoManufacturerStalledProduct", 0, 2, 3, {{3, u"VN70-0042318"}}, {2, 3}, "", "", "VN70-0042318"},
        // A failed read must not show the text of the read before it.
        StringLayout{"StalledProductAfterManufacturer", 1, 2, 0, {{1, u"Varnock"}}, {1, 2}, "Varnock", "", ""},
        // One '?' per UTF-16 unit: U+2122 is one unit, U+1F50C two.
        StringLayout{"NonAscii",
                     1,
                     2,
                     3,
                     {{1, u"Varnock\u2122"}, {2, u"Dock Gr\u00f6\u00dfe \U0001F50C"}, {3, u"VN70-0042318"}},
                     {1, 2, 3},
                     "Varnock?",
                     "Dock Gr??e ??",
                     "VN70-0042318"}),
    CaseName());

// --- two docks --------------------------------------------------------------

TEST_F(DockQuery, ReportsExactlyOneOfTwoDocks) {
  DockModel first = StandardDock();
  first.strings[7] = u"VN70-A0001";
  DockModel second = StandardDock();
  second.strings[7] = u"VN70-B0002";
  EmulatedDock& dockA = bus_.Add(first);
  EmulatedDock& dockB = bus_.Add(second);

  const DockQueryResult result = QueryDiagnosed();
  const std::optional<DockInfo>& info = result.info;

  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(result.dockCount, 2);
  // Which one libusb lists first is its business; the report must come
  // entirely from the one that was opened.
  ASSERT_EQ(dockA.Opens() + dockB.Opens(), 1);
  const EmulatedDock& opened = dockA.Opens() == 1 ? dockA : dockB;
  const EmulatedDock& other = dockA.Opens() == 1 ? dockB : dockA;
  EXPECT_EQ(info->SerialNumber, &opened == &dockA ? L"VN70-A0001" : L"VN70-B0002");
  EXPECT_EQ(info->FwRev, L"1.2.12.3");
  EXPECT_EQ(FirmwareRequestsSeen(opened), 1);
  EXPECT_THAT(other.ControlRequests(), ::testing::IsEmpty());
  ASSERT_EQ(log_.Lines().size(), 5u);
  EXPECT_EQ(log_.Lines()[0], "info QueryDock 2 docks on the bus");
  ExpectOpenedOnceAndClosed(opened);
}

// Whichever of the two libusb lists first, the dock that opens is read: both
// orders of adding them, as libusb's own order is its business.
using UnopenableBesideOpenable = DockQueryCases<bool>;

TEST_P(UnopenableBesideOpenable, TheDockThatOpensIsRead) {
  DockModel openable = StandardDock();
  openable.strings[7] = u"VN70-B0002";
  const bool unopenableFirst = GetParam();
  if (unopenableFirst) bus_.Add(WithNodeThatWillNotOpen(StandardDock()));
  EmulatedDock& dock = bus_.Add(openable);
  if (!unopenableFirst) bus_.Add(WithNodeThatWillNotOpen(StandardDock()));

  const DockQueryResult result = QueryDiagnosed();

  ASSERT_TRUE(result.info.has_value());
  EXPECT_EQ(result.presence, DockPresence::Opened);
  EXPECT_EQ(result.dockCount, 2);
  EXPECT_EQ(result.info->SerialNumber, L"VN70-B0002");
  EXPECT_EQ(result.info->FwRev, L"1.2.12.3");
  EXPECT_EQ(FirmwareRequestsSeen(dock), 1);
  ExpectOpenedOnceAndClosed(dock);
}

INSTANTIATE_TEST_SUITE_P(Bus, UnopenableBesideOpenable, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "UnopenableAddedFirst" : "OpenableAddedFirst");
                         });

// --- the emulation itself ---------------------------------------------------

// The closed-node check above is only worth something if it sees a handle
// that is left open.
TEST(EmulatedDockTest, SeesANodeLeftOpen) {
  EmulatedBus bus;
  EmulatedDock& dock = bus.Add(StandardDock());
  ASSERT_EQ(libusb_init(nullptr), LIBUSB_SUCCESS);
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(nullptr, DOCK_VENDOR_ID, DOCK_PRODUCT_ID);
  ASSERT_NE(handle, nullptr);

  EXPECT_FALSE(dock.WaitUntilClosed(200ms));
  EXPECT_EQ(dock.Opens(), 1);
  EXPECT_EQ(dock.Closes(), 0);

  libusb_close(handle);
  EXPECT_TRUE(dock.WaitUntilClosed(CLOSE_WAIT));
  EXPECT_EQ(dock.Closes(), 1);
  libusb_exit(nullptr);
}

// The code the unopenable-dock case expects rests on how its node fails.
TEST(EmulatedDockTest, NodeThatWillNotOpenFailsWithEISDIR) {
  EmulatedBus bus;
  const EmulatedDock& dock = bus.Add(WithNodeThatWillNotOpen(StandardDock()));

  const int fd = open(dock.Devnode().c_str(), O_RDWR | O_CLOEXEC);
  const int error = errno;

  EXPECT_EQ(fd, -1);
  EXPECT_EQ(error, EISDIR);
  if (fd >= 0) close(fd);
}

}  // namespace
