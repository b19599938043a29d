#include "update/portable/tool_output_marks.h"

namespace {

void AppendEscaped(std::string& out, unsigned char c) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  out += "\\x";
  out += DIGITS[c >> 4];
  out += DIGITS[c & 0x0F];
}

}  // namespace

std::string MarkToolOutputForLog(std::string_view block) {
  std::string out;
  out.reserve(block.size() + block.size() / 16 + 8);
  for (size_t i = 0; i < block.size(); ++i) {
    const char c = block[i];
    if (c == '\0') {
      AppendEscaped(out, 0);
      continue;
    }
    out += c;
    // A line ends at LF, and at a CR that no LF follows within the block.
    const bool lineEnd = c == '\n' || (c == '\r' && (i + 1 >= block.size() || block[i + 1] != '\n'));
    if (lineEnd && i + 1 < block.size()) out += TOOL_LINE_MARK;
  }
  return out;
}
