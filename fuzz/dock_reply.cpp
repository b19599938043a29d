// The dock's firmware-version reply: any reply length (a libusb error
// included) and any bytes give either a version of the documented form,
// bytes 7, 6, 5, 4 as four decimal numbers from 0 to 255 joined by dots, that
// /expect's compare reads back as those numbers, or an empty text for a
// reply shorter than eight bytes; and nothing past the reply is read.
// The input: the received length (two bytes, little-endian, signed), then
// the reply's bytes.
#include <algorithm>
#include <memory>

#include "docks/portable/dock_info.h"
#include "fuzz/fuzz_support.h"
#include "shell/command_line/portable/command_line_parse.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // libusb reports at most the buffer's 1024 bytes, or a negative error.
  const int received = std::max(-12, std::min<int>(1024, static_cast<std::int16_t>(data[0] | data[1] << 8)));
  // Exactly the bytes received, in a buffer of that size: a read past it is an error.
  std::vector<std::uint8_t> reply(data + 2, data + std::min<size_t>(size, 2 + static_cast<size_t>(std::max(received, 0))));
  reply.resize(static_cast<size_t>(std::max(received, 0)));
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[reply.size()]);
  std::copy(reply.begin(), reply.end(), exact.get());

  const std::wstring fwRev = FwRevFromReply(exact.get(), received);
  if (received < 8) {
    Require(fwRev.empty(), "a reply shorter than eight bytes gives no version");
    return 0;
  }
  const std::wstring expected = std::to_wstring(reply[7]) + L"." + std::to_wstring(reply[6]) + L"." +
                                std::to_wstring(reply[5]) + L"." + std::to_wstring(reply[4]);
  Require(fwRev == expected, "the version is bytes 7, 6, 5, 4 in decimal");
  const auto numbers = ParseFirmwareVersion(fwRev);
  Require(numbers && (*numbers)[0] == reply[7] && (*numbers)[1] == reply[6] && (*numbers)[2] == reply[5] &&
              (*numbers)[3] == reply[4],
          "/expect's compare reads the version back as its numbers");
  Require(SameFirmwareVersion(fwRev, fwRev), "a dock's version equals itself");
  return 0;
}
