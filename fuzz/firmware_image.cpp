// The firmware image check: any file gives exactly the documented verdict,
// refused as too short below 1024 bytes (or of unknown size), else refused
// without the signature "FWCT" at its start, else accepted. The input: a
// mode byte; 0x01 set: a size (eight bytes, little-endian, signed) and the
// eight head bytes follow, as a file's size and first bytes are read;
// otherwise the rest is the file itself.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "update/portable/firmware_image.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::int64_t fileSize = 0;
  std::uint8_t head[8] = {};
  std::string_view content = fuzz::Bytes(data + 1, size - 1);
  if ((data[0] & 1) != 0) {
    if (size < 17) return 0;
    std::uint64_t raw = 0;
    for (int i = 7; i >= 0; --i) raw = raw << 8 | data[1 + i];
    fileSize = static_cast<std::int64_t>(raw);
    std::memcpy(head, data + 9, 8);
    content = fuzz::Bytes(data + 9, 8);
  } else {
    fileSize = static_cast<std::int64_t>(content.size());
    // The head is read only from a file long enough to be judged by it.
    if (fileSize >= 1024) std::memcpy(head, content.data(), 8);
  }
  const FirmwareImageCheck verdict = JudgeFirmwareImage(fileSize, head);
  const FirmwareImageCheck documented = fileSize < 1024                 ? FirmwareImageCheck::TooShort
                                        : content.substr(0, 4) == "FWCT" ? FirmwareImageCheck::Accepted
                                                                         : FirmwareImageCheck::BadSignature;
  Require(verdict == documented, "the image's verdict is the documented one");
  return 0;
}
