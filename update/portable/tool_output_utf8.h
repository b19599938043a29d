#pragma once
// The updater's output as UTF-8 for a redirected standard output. The tool
// may print UTF-8 or text in the ANSI code page: a block that is valid UTF-8
// passes as it is, any other is decoded from the ANSI code page. A character
// split between two reads is held back until it is whole, so no write ever
// carries half of one. Portable: the ANSI decoder is given.
#include <functional>
#include <string>
#include <string_view>

class ToolOutputUtf8 {
 public:
  // Decodes ANSI bytes to UTF-8 and returns how many bytes it took; bytes it
  // leaves (a lead byte without its trail) are offered again with the next block.
  using AnsiDecoder = std::function<size_t(std::string_view ansi, std::string& utf8)>;

  explicit ToolOutputUtf8(AnsiDecoder decodeAnsi) : decodeAnsi_(std::move(decodeAnsi)) {}
  // The UTF-8 text that can be written now.
  std::string Feed(std::string_view block);
  // What is still held back, once the tool has ended.
  std::string Finish();

 private:
  AnsiDecoder decodeAnsi_;
  std::string pending_;
};

// Length of the longest prefix of `text` that is well-formed UTF-8, and
// whether all that follows it is the start of one unfinished character.
struct Utf8Scan {
  size_t validLength = 0;
  bool restIsUnfinished = false;
};
Utf8Scan ScanUtf8(std::string_view text);
