#pragma once
// What the wait box shows of the updater's output: the last non-empty line
// printed so far, trimmed, and the elapsed time. Portable: the ANSI decoder
// and the text measure are given.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A line longer than this is kept by its head: the box shows one line and
// a tool printing megabytes without a line break must not grow memory.
inline constexpr size_t TOOL_LINE_MAX_BYTES = 1024;

// Follows the tool's output block by block. A carriage return ends a line as
// a line feed does: progress counters overwrite their line with "\r".
class LatestToolLine {
 public:
  void Feed(std::string_view block);
  // The raw bytes of the last non-empty line, trimmed; the line still being
  // printed counts once it holds more than blanks.
  std::string Latest() const;

 private:
  std::string current_;
  std::string lastComplete_;
};

// The line as UTF-8: as it is when it is valid UTF-8 (a character cut at the
// length limit is dropped), else decoded from the ANSI code page.
using AnsiLineDecoder = std::function<size_t(std::string_view ansi, std::string& utf8)>;
std::string ToolLineUtf8(std::string_view line, const AnsiLineDecoder& decodeAnsi);

// `text` as it is when it fits `maxWidth`, else its longest head followed by
// "…" that fits (never half a surrogate pair).
std::wstring FitWithEllipsis(const std::wstring& text, int maxWidth,
                             const std::function<int(const std::wstring&)>& widthOf);

// "0:42", "12:05", "1:02:03".
std::wstring FormatElapsed(std::uint64_t seconds);
