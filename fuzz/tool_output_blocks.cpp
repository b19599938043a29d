// The outcome judge and the latest-line tracker over the updater's output:
// the output cut into any blocks gives the same verdict and the same latest
// line as the whole output read at once, and both agree with the plain
// rules over the whole text. The input is fuzz::TakeCuts' form: a count,
// the block lengths, then the output.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "update/portable/tool_output_line.h"
#include "update/portable/update_outcome.h"

namespace {

using fuzz::Require;

// The text rule over the whole output: failed when the failure text comes
// after the last completion text, or without one.
bool FailedByWholeText(std::string_view output) {
  const size_t failure = output.rfind(UPDATE_FAILED_TEXT);
  const size_t completion = output.rfind(UPDATE_COMPLETED_TEXT);
  return failure != std::string_view::npos && (completion == std::string_view::npos || failure > completion);
}

// The last line (CR or LF ends one) that holds more than blanks, trimmed,
// each line kept by its first TOOL_LINE_MAX_BYTES bytes.
std::string LatestLineOfWholeText(std::string_view output) {
  constexpr std::string_view blanks = " \t\f\v";
  std::string latest;
  for (std::string_view line : fuzz::SplitAt(output, '\n')) {
    for (std::string_view part : fuzz::SplitAt(line, '\r')) {
      part = part.substr(0, TOOL_LINE_MAX_BYTES);
      const size_t first = part.find_first_not_of(blanks);
      if (first == std::string_view::npos) continue;
      latest = std::string(part.substr(first, part.find_last_not_of(blanks) - first + 1));
    }
  }
  return latest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const fuzz::CutText cut = fuzz::TakeCuts(fuzz::Bytes(data, size));

  UpdateOutcome whole;
  whole.Feed(cut.text.data(), cut.text.size());
  UpdateOutcome inBlocks;
  LatestToolLine lineWhole;
  lineWhole.Feed(cut.text);
  LatestToolLine lineInBlocks;
  for (const std::string_view block : cut.blocks) {
    // Each block in a buffer of its own size, so a read past it is seen.
    const std::vector<char> own(block.begin(), block.end());
    inBlocks.Feed(own.data(), own.size());
    lineInBlocks.Feed(std::string_view(own.data(), own.size()));
  }

  Require(whole.Failed() == FailedByWholeText(cut.text), "the verdict follows the failure text's last place");
  Require(whole.SawFailure() == (cut.text.find(UPDATE_FAILED_TEXT) != std::string_view::npos), "the failure text is seen");
  Require(whole.SawCompletion() == (cut.text.find(UPDATE_COMPLETED_TEXT) != std::string_view::npos),
          "the completion text is seen");
  Require(inBlocks.Failed() == whole.Failed(), "the verdict does not depend on where the blocks were cut");
  Require(inBlocks.SawFailure() == whole.SawFailure() && inBlocks.SawCompletion() == whole.SawCompletion(),
          "the texts are seen wherever the blocks were cut");
  for (const std::uint32_t exitCode : {0u, 1u, 0xC0000005u}) {
    Require(UpdaterRunFailed(inBlocks, exitCode) == UpdaterRunFailed(whole, exitCode),
            "the run's verdict does not depend on the cuts");
  }

  const std::string latest = lineInBlocks.Latest();
  Require(latest == lineWhole.Latest(), "the latest line does not depend on where the blocks were cut");
  Require(latest == LatestLineOfWholeText(cut.text), "the latest line is the whole text's last non-blank line");
  Require(latest.size() <= TOOL_LINE_MAX_BYTES, "the latest line keeps its head only");
  const std::string shown = ToolLineUtf8(latest, fuzz::Latin1ToUtf8);
  Require(fuzz::IsUtf8(shown), "the line the wait box shows is UTF-8");
  Require(!fuzz::IsUtf8(latest) || shown == latest, "a UTF-8 line is shown as it is");
  return 0;
}
