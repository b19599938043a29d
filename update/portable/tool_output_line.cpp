#include "update/portable/tool_output_line.h"

#include <algorithm>

#include "update/portable/tool_output_utf8.h"

namespace {

constexpr std::string_view BLANKS = " \t\f\v";
constexpr std::string_view LINE_ENDS = "\r\n";

std::string Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(BLANKS);
  return std::string(text.substr(first, last - first + 1));
}

void AppendHead(std::string& line, std::string_view piece) {
  if (line.size() < TOOL_LINE_MAX_BYTES) line.append(piece.substr(0, TOOL_LINE_MAX_BYTES - line.size()));
}

}  // namespace

// Only the last non-empty line a block completes matters, so the block is
// read backwards from its last line end: a tool printing megabytes of short
// lines costs a scan, not a copy of every line.
void LatestToolLine::Feed(std::string_view block) {
  const size_t lastEnd = block.find_last_of(LINE_ENDS);
  if (lastEnd == std::string_view::npos) {
    AppendHead(current_, block);
    return;
  }
  size_t end = lastEnd;  // where the candidate line ends
  for (;;) {
    const size_t lineBreak = end == 0 ? std::string_view::npos : block.find_last_of(LINE_ENDS, end - 1);
    if (lineBreak == std::string_view::npos) {
      // The block's first line finishes the one already begun.
      AppendHead(current_, block.substr(0, end));
      std::string line = Trimmed(current_);
      if (!line.empty()) lastComplete_ = std::move(line);
      break;
    }
    std::string line = Trimmed(block.substr(lineBreak + 1, std::min(end - lineBreak - 1, TOOL_LINE_MAX_BYTES)));
    if (!line.empty()) {
      lastComplete_ = std::move(line);
      break;
    }
    end = lineBreak;
  }
  current_.clear();
  AppendHead(current_, block.substr(lastEnd + 1));
}

std::string LatestToolLine::Latest() const {
  std::string line = Trimmed(current_);
  return line.empty() ? lastComplete_ : line;
}

std::string ToolLineUtf8(std::string_view line, const AnsiLineDecoder& decodeAnsi) {
  const Utf8Scan scan = ScanUtf8(line);
  if (scan.validLength == line.size() || (scan.restIsUnfinished && line.size() >= TOOL_LINE_MAX_BYTES)) {
    return std::string(line.substr(0, scan.validLength));
  }
  std::string utf8;
  decodeAnsi(line, utf8);
  return utf8;
}

std::wstring FitWithEllipsis(const std::wstring& text, int maxWidth,
                             const std::function<int(const std::wstring&)>& widthOf) {
  if (widthOf(text) <= maxWidth) return text;
  // The widest head that fits with the ellipsis: widths grow with the length.
  size_t low = 0;
  size_t high = text.size();
  while (low < high) {
    const size_t middle = (low + high + 1) / 2;
    if (widthOf(text.substr(0, middle) + L"\u2026") <= maxWidth) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  if (low > 0 && text[low - 1] >= 0xD800 && text[low - 1] <= 0xDBFF) --low;
  return text.substr(0, low) + L"\u2026";
}

std::wstring FormatElapsed(std::uint64_t seconds) {
  const std::uint64_t hours = seconds / 3600;
  const std::uint64_t minutes = seconds / 60 % 60;
  const std::uint64_t rest = seconds % 60;
  auto twoDigits = [](std::uint64_t value) {
    return std::wstring(1, static_cast<wchar_t>(L'0' + value / 10)) + static_cast<wchar_t>(L'0' + value % 10);
  };
  if (hours == 0) return std::to_wstring(minutes) + L":" + twoDigits(rest);
  return std::to_wstring(hours) + L":" + twoDigits(minutes) + L":" + twoDigits(rest);
}
