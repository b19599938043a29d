#include "update/portable/tool_output_utf8.h"

namespace {

// Bytes of a sequence by its lead byte; 0 for a byte that cannot lead one.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The allowed range of the second byte (no overlong forms, no surrogates, nothing past U+10FFFF).
bool SecondByteFits(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
  if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
  if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
  return second >= 0x80 && second <= 0xBF;
}

}  // namespace

Utf8Scan ScanUtf8(std::string_view text) {
  Utf8Scan scan;
  size_t at = 0;
  while (at < text.size()) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = SequenceLength(lead);
    if (length == 0) break;
    size_t have = 1;
    bool fits = true;
    for (; have < length && at + have < text.size(); ++have) {
      const auto next = static_cast<unsigned char>(text[at + have]);
      if (have == 1 ? !SecondByteFits(lead, next) : (next < 0x80 || next > 0xBF)) {
        fits = false;
        break;
      }
    }
    if (!fits) break;
    if (have < length) {  // the text ends inside this character
      scan.validLength = at;
      scan.restIsUnfinished = true;
      return scan;
    }
    at += length;
  }
  scan.validLength = at;
  scan.restIsUnfinished = at == text.size();
  return scan;
}

std::string ToolOutputUtf8::Feed(std::string_view block) {
  pending_.append(block.data(), block.size());
  const Utf8Scan scan = ScanUtf8(pending_);
  std::string out;
  if (scan.restIsUnfinished) {
    out = pending_.substr(0, scan.validLength);
    pending_.erase(0, scan.validLength);
    return out;
  }
  const size_t taken = decodeAnsi_(pending_, out);
  pending_.erase(0, taken);
  return out;
}

std::string ToolOutputUtf8::Finish() {
  std::string out;
  if (pending_.empty()) return out;
  decodeAnsi_(pending_, out);
  // Whatever the decoder still leaves is half a character with nothing to follow.
  pending_.clear();
  return out;
}
