// The updater's output on its way to a redirected standard output: valid
// UTF-8 passes unchanged however it is cut, anything else is decoded without
// a read past its block, every write is valid UTF-8 (so its UTF-16 form is
// valid UTF-16) and no write carries half a character. The input is
// fuzz::TakeCuts' form; the count's top bit picks a double-byte code page
// instead of a single-byte one.
#include "fuzz/fuzz_support.h"
#include "update/portable/tool_output_utf8.h"

namespace {

using fuzz::Require;

void RequireWholeWrite(const std::string& write) {
  const auto points = fuzz::DecodeUtf8Strictly(write);
  Require(points.has_value(), "every write is whole UTF-8");
  Require(fuzz::IsUtf16(fuzz::Utf16FromPoints(*points)), "every write is valid UTF-16 once widened");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const bool doubleByte = size > 0 && (data[0] & 0x80) != 0;
  const fuzz::CutText cut = fuzz::TakeCuts(fuzz::Bytes(data, size));

  // The scanner against the plain reading of the whole text.
  const Utf8Scan scan = ScanUtf8(cut.text);
  Require(scan.validLength == fuzz::LongestUtf8Prefix(cut.text), "the scan finds the longest UTF-8 prefix");
  const std::string_view rest = cut.text.substr(scan.validLength);
  bool restUnfinished = rest.empty();
  for (const char trail : {'\x80', '\x90', '\xA0', '\xBF'}) {  // a rest that some ending would make whole
    for (size_t more = 1; more <= 3 && !restUnfinished && !rest.empty() && rest.size() < 4; ++more) {
      restUnfinished = fuzz::IsUtf8(std::string(rest) + std::string(more, trail));
    }
  }
  Require(scan.restIsUnfinished == restUnfinished, "an unfinished character is told from a wrong one");

  ToolOutputUtf8 output(doubleByte ? fuzz::DoubleByteToUtf8 : fuzz::Latin1ToUtf8);
  std::string written;
  for (const std::string_view block : cut.blocks) {
    // Each block in a buffer of its own size, so a read past it is seen.
    const std::vector<char> own(block.begin(), block.end());
    const std::string write = output.Feed(std::string_view(own.data(), own.size()));
    RequireWholeWrite(write);
    written += write;
  }
  const std::string last = output.Finish();
  RequireWholeWrite(last);
  written += last;
  Require(output.Finish().empty(), "nothing is held back after the end");
  if (fuzz::IsUtf8(cut.text)) Require(written == cut.text, "valid UTF-8 passes unchanged, however it was cut");
  // A single-byte page decodes every byte: nothing is lost.
  if (!doubleByte) Require(written.size() >= cut.text.size(), "no byte is dropped");
  return 0;
}
