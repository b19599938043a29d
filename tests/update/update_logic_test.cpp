// The update's parts that need Windows: the image rule on real files and the
// wait dialog's centring. The portable parts are tested natively (tests/host).
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "base/win_handles.h"
#include "update/portable/firmware_image.h"
#include "update/updater_trust.h"
#include "shell/window/wait_dialog.h"

TEST(FirmwareImageRule, RealFiles) {
  const std::wstring folder = testsupport::FreshFolder(L"images");
  const auto write = [&](const std::wstring& name, std::string bytes, size_t size) {
    bytes.resize(size, 'z');
    testsupport::WriteFileBytes(folder + name, bytes);
    return folder + name;
  };
  EXPECT_EQ(CheckFirmwareImage(write(L"empty.bin", "", 0)), FirmwareImageCheck::TooShort);
  EXPECT_EQ(CheckFirmwareImage(write(L"1023.bin", "FWCT", 1023)), FirmwareImageCheck::TooShort);
  EXPECT_EQ(CheckFirmwareImage(write(L"1024.bin", "FWCT", 1024)), FirmwareImageCheck::Accepted);
  EXPECT_EQ(CheckFirmwareImage(write(L"1025.bin", "FWCT", 1025)), FirmwareImageCheck::Accepted);
  EXPECT_EQ(CheckFirmwareImage(write(L"4-bytes.bin", "FWCT", 4)), FirmwareImageCheck::TooShort);
  EXPECT_EQ(CheckFirmwareImage(write(L"lower.bin", "fwct", 4096)), FirmwareImageCheck::BadSignature);
  EXPECT_EQ(CheckFirmwareImage(write(L"fourth.bin", "FWCU", 4096)), FirmwareImageCheck::BadSignature);
  EXPECT_EQ(CheckFirmwareImage(write(L"late-signature.bin", "xFWCT", 4096)), FirmwareImageCheck::BadSignature);
  EXPECT_EQ(CheckFirmwareImage(write(L"any.img", "FWCT", 2048)), FirmwareImageCheck::Accepted);
  EXPECT_EQ(CheckFirmwareImage(write(L"新固件.bin", "FWCT", 2048)), FirmwareImageCheck::Accepted);
  EXPECT_EQ(CheckFirmwareImage(folder + L"no-such-file.bin"), FirmwareImageCheck::CannotOpen);

  // Others may hold the file open for reading and writing meanwhile...
  const std::wstring busy = write(L"busy.bin", "FWCT", 2048);
  HANDLE writer = CreateFileW(busy.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CheckFirmwareImage(busy), FirmwareImageCheck::Accepted);
  CloseHandle(writer);
  // ...but a file nobody may share cannot be opened.
  HANDLE exclusive = CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CheckFirmwareImage(busy), FirmwareImageCheck::CannotOpen);
  CloseHandle(exclusive);
}

TEST(WaitDialogCentring, CentresOverTheOwnerTruncatingTowardZero) {
  const RECT owner{100, 50, 1000, 570};  // 900 x 520
  POINT at = CentreOver(owner, RECT{0, 0, 465, 190});
  EXPECT_EQ(at.x, 100 + (900 - 465) / 2);
  EXPECT_EQ(at.y, 50 + (520 - 190) / 2);
  // Larger than the owner: left of and above it.
  at = CentreOver(RECT{400, 300, 520, 350}, RECT{0, 0, 465, 190});
  EXPECT_EQ(at.x, 400 - 172);  // (120 - 465) / 2 = -172.5 -> -172
  EXPECT_EQ(at.y, 300 - 70);
  // One unit wider than the owner: -0.5 becomes 0, not -1.
  at = CentreOver(RECT{10, 10, 110, 110}, RECT{500, 500, 601, 601});
  EXPECT_EQ(at.x, 10);
  EXPECT_EQ(at.y, 10);
  // The owner partly off the screen.
  at = CentreOver(RECT{-300, -200, 600, 320}, RECT{0, 0, 300, 120});
  EXPECT_EQ(at.x, -300 + 300);
  EXPECT_EQ(at.y, -200 + 200);
}

// Who besides the administrators may change the updater or its folder, over
// descriptors written as SDDL: the owner, every allow entry that applies to
// the object itself and grants a changing right, and no DACL at all.
TEST(UpdaterTrustRule, OnlyAdministratorsMayChangeTheUpdater) {
  const std::wstring users = L"S-1-5-32-545";
  const std::wstring everyone = SID_EVERYONE;
  struct Case {
    const wchar_t* sddl;
    std::wstring changeableBy;  // empty: only administrators
  };
  const Case cases[] = {
      {L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", L""},
      {L"O:SYD:(A;;FA;;;SY)(A;;GA;;;BA)(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)", L""},
      {L"O:BAD:(A;OICIIO;GA;;;CO)(A;;FA;;;SY)(A;;0x1200a9;;;BU)", L""},
      {L"O:BAD:(A;OICIIO;GW;;;BU)(A;;0x1200a9;;;BU)", L""},  // given to new files only
      {L"O:BAD:(D;;FA;;;BU)(A;;FA;;;SY)", L""},              // a deny entry grants nothing
      {L"O:BUD:(A;;FA;;;SY)", users},                        // the owner rewrites the DACL
      {L"O:BAD:(A;;FA;;;SY)(A;;0x1301bf;;;BU)", users},      // modify
      {L"O:BAD:(A;;0x2;;;BU)", users},                       // write data, or add a file to a folder
      {L"O:BAD:(A;;0x4;;;BU)", users},                       // append
      {L"O:BAD:(A;;0x40;;;BU)", users},                      // delete a child
      {L"O:BAD:(A;;SD;;;WD)", everyone},
      {L"O:BAD:(A;;WD;;;AU)", L"S-1-5-11"},
      {L"O:BAD:(A;;WO;;;AU)", L"S-1-5-11"},
      {L"O:BAD:(A;;GW;;;BU)", users},
      {L"O:BAD:(A;;GA;;;BU)", users},
      {L"O:BAD:(A;;0x120089;;;BU)(A;ID;0x1301bf;;;AU)", L"S-1-5-11"},  // inherited entries count
      {L"O:BAD:(A;;0x1200a9;;;BU)(A;;0x100;;;BU)", L""},              // write attributes only
      {L"O:BA", everyone},                                             // no DACL
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(testsupport::Utf8(row.sddl));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1, &descriptor, nullptr));
    const UniqueLocal owned(descriptor);
    EXPECT_EQ(ChangeableBy(DescribeSecurity(descriptor)), row.changeableBy);
  }
}
