#include "update/tool_output_line.h"

#include "update/tool_output_utf8.h"

namespace {

constexpr std::string_view BLANKS = " \t\f\v";
constexpr std::string_view LINE_ENDS = "\r\n";

std::string Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(BLANKS);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

void LatestToolLine::Feed(std::string_view block) {
  while (!block.empty()) {
    const size_t end = block.find_first_of(LINE_ENDS);
    const std::string_view piece = block.substr(0, end);
    if (current_.size() < TOOL_LINE_MAX_BYTES) {
      current_.append(piece.substr(0, TOOL_LINE_MAX_BYTES - current_.size()));
    }
    if (end == std::string_view::npos) return;
    std::string line = Trimmed(current_);
    if (!line.empty()) lastComplete_ = std::move(line);
    current_.clear();
    block.remove_prefix(end + 1);
  }
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
