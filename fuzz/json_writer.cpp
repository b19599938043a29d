// The JSON writers (/info /json's dock object and /update /json's result):
// any texts, control characters and surrogates without their other half
// included, give output that converts to UTF-8 without loss, that a strict
// JSON parser accepts, and whose strings decode back to the very texts.
// The input: six header bytes (exit code, which values are present, dock
// count, seconds), then the texts separated by 0xFF bytes, read by
// fuzz::Utf16Units.
#include "docks/portable/dock_info.h"
#include "docks/portable/dock_report.h"
#include "fuzz/fuzz_support.h"
#include "shell/command_line/portable/update_result.h"

namespace {

using fuzz::Require;

// A JSON value of the kinds the writers make; arrays are refused.
struct JsonValue {
  enum Kind { Null, Bool, Number, String, Object } kind = Null;
  std::wstring text;    // String: its UTF-16 units; Number: its digits as written
  std::vector<std::pair<std::wstring, JsonValue>> members;  // Object, in order
};

// RFC 8259, strictly: UTF-8 only, no raw control character in a string, no
// trailing comma, nothing after the value but white space.
class StrictJsonParser {
 public:
  explicit StrictJsonParser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> Parse() {
    if (!fuzz::IsUtf8(text_)) return std::nullopt;
    std::optional<JsonValue> value = ParseValue();
    SkipSpace();
    if (!value || at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void SkipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  bool TakeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  std::optional<JsonValue> ParseValue() {
    if (++depth_ > 8) return std::nullopt;
    SkipSpace();
    JsonValue value;
    if (at_ >= text_.size()) return std::nullopt;
    const char c = text_[at_];
    if (c == '{') {
      ++at_;
      value.kind = JsonValue::Object;
      SkipSpace();
      if (!Take('}')) {
        do {
          SkipSpace();
          std::optional<std::wstring> key = ParseString();
          SkipSpace();
          if (!key || !Take(':')) return std::nullopt;
          std::optional<JsonValue> member = ParseValue();
          if (!member) return std::nullopt;
          value.members.emplace_back(std::move(*key), std::move(*member));
          SkipSpace();
        } while (Take(','));
        if (!Take('}')) return std::nullopt;
      }
    } else if (c == '"') {
      std::optional<std::wstring> text = ParseString();
      if (!text) return std::nullopt;
      value.kind = JsonValue::String;
      value.text = std::move(*text);
    } else if (TakeWord("null")) {
      value.kind = JsonValue::Null;
    } else if (TakeWord("true") || TakeWord("false")) {
      value.kind = JsonValue::Bool;
    } else {
      std::optional<std::wstring> number = ParseNumber();
      if (!number) return std::nullopt;
      value.kind = JsonValue::Number;
      value.text = std::move(*number);
    }
    --depth_;
    return value;
  }
  std::optional<std::wstring> ParseNumber() {
    const size_t start = at_;
    auto digits = [&] {
      const size_t from = at_;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ - from;
    };
    Take('-');
    if (Take('0')) {
      if (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') return std::nullopt;
    } else if (digits() == 0) {
      return std::nullopt;
    }
    if (Take('.') && digits() == 0) return std::nullopt;
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (digits() == 0) return std::nullopt;
    }
    std::wstring number;
    for (size_t i = start; i < at_; ++i) number += static_cast<wchar_t>(text_[i]);
    return number;
  }
  std::optional<std::wstring> ParseString() {
    if (!Take('"')) return std::nullopt;
    std::string raw;  // UTF-8 runs between escapes
    std::wstring units;
    auto flush = [&] {
      units += fuzz::Utf16FromPoints(*fuzz::DecodeUtf8Strictly(raw));
      raw.clear();
    };
    for (;;) {
      if (at_ >= text_.size()) return std::nullopt;
      const auto c = static_cast<std::uint8_t>(text_[at_++]);
      if (c == '"') break;
      if (c < 0x20) return std::nullopt;
      if (c != '\\') {
        raw += static_cast<char>(c);
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char e = text_[at_++];
      const std::string_view simple = "\"\\/bfnrt";
      const std::wstring meant = L"\"\\/\b\f\n\r\t";
      if (const size_t which = simple.find(e); which != std::string_view::npos) {
        raw += static_cast<char>(meant[which]);
      } else if (e == 'u') {
        if (at_ + 4 > text_.size()) return std::nullopt;
        unsigned unit = 0;
        for (int i = 0; i < 4; ++i) {
          const char h = text_[at_++];
          unit <<= 4;
          if (h >= '0' && h <= '9') unit |= static_cast<unsigned>(h - '0');
          else if (h >= 'a' && h <= 'f') unit |= static_cast<unsigned>(h - 'a' + 10);
          else if (h >= 'A' && h <= 'F') unit |= static_cast<unsigned>(h - 'A' + 10);
          else return std::nullopt;
        }
        flush();
        units += static_cast<wchar_t>(unit);
      } else {
        return std::nullopt;
      }
    }
    flush();
    return units;
  }

  std::string_view text_;
  size_t at_ = 0;
  int depth_ = 0;
};

// The writer's wide output as it reaches the console or a pipe: it must be
// valid UTF-16, or the conversion loses units, and end in CRLF.
JsonValue ParsedOutput(const std::wstring& output) {
  Require(output.size() >= 2 && output.substr(output.size() - 2) == L"\r\n", "one object on a line of its own");
  const std::optional<std::string> utf8 = fuzz::Utf16ToUtf8Strictly(output);
  Require(utf8.has_value(), "the JSON output is valid UTF-16, so its UTF-8 form loses nothing");
  std::optional<JsonValue> value = StrictJsonParser(*utf8).Parse();
  Require(value.has_value(), "a strict JSON parser accepts the output");
  Require(value->kind == JsonValue::Object, "the output is one object");
  return *value;
}

void RequireString(const JsonValue& object, size_t index, const wchar_t* key, const std::wstring& text) {
  Require(index < object.members.size() && object.members[index].first == key, "the keys in their order");
  const JsonValue& value = object.members[index].second;
  Require(value.kind == JsonValue::String && value.text == text, "a text decodes back to itself");
}

void RequireOptional(const JsonValue& object, size_t index, const wchar_t* key, const std::optional<std::wstring>& text) {
  if (text) return RequireString(object, index, key, *text);
  Require(index < object.members.size() && object.members[index].first == key, "the keys in their order");
  Require(object.members[index].second.kind == JsonValue::Null, "a missing value is null");
}

void RequireNumber(const JsonValue& object, size_t index, const wchar_t* key, const std::wstring& digits) {
  Require(index < object.members.size() && object.members[index].first == key, "the keys in their order");
  const JsonValue& value = object.members[index].second;
  Require(value.kind == JsonValue::Number && value.text == digits, "a number as written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const int exitCode = static_cast<std::int8_t>(data[0]);
  const std::uint8_t present = data[1];
  const int dockCount = static_cast<std::int8_t>(data[2]);
  const int tenths = static_cast<std::int16_t>(data[3] | data[4] << 8);
  const bool alreadyCurrent = (data[5] & 1) != 0;
  std::vector<std::wstring> texts;
  for (const std::string_view piece : fuzz::SplitAt(fuzz::Bytes(data + 6, size - 6), '\xFF')) {
    texts.push_back(fuzz::Utf16Units(piece));
  }
  texts.resize(std::max<size_t>(texts.size(), 10));

  DockInfo dock;
  dock.Vendor = texts[0];
  dock.Product = texts[1];
  dock.SerialNumber = texts[2];
  dock.FwRev = texts[3];
  const JsonValue dockJson = ParsedOutput(FormatDockJson(dock, dockCount));
  Require(dockJson.members.size() == 5, "the dock object has its four texts and the count");
  RequireString(dockJson, 0, L"Vendor", dock.Vendor);
  RequireString(dockJson, 1, L"Product", dock.Product);
  RequireString(dockJson, 2, L"SerialNumber", dock.SerialNumber);
  RequireString(dockJson, 3, L"FwRev", dock.FwRev);
  RequireNumber(dockJson, 4, L"DockCount", std::to_wstring(dockCount));

  UpdateResult result;
  result.exitCode = exitCode;
  result.alreadyCurrent = alreadyCurrent;
  result.message = texts[4];
  std::optional<std::wstring>* const optionals[] = {&result.image,      &result.imageSha256,  &result.fwRevBefore,
                                                    &result.fwRevAfter, &result.serialNumber, &result.updaterExitCode};
  for (size_t i = 0; i < std::size(optionals); ++i) {
    if ((present >> i & 1) != 0) *optionals[i] = texts[5 + i % 5];
  }
  // A run's time as the clock gives it: finite, tenths of a second.
  result.seconds = tenths / 10.0;
  const JsonValue resultJson = ParsedOutput(FormatUpdateJson(result));
  Require(resultJson.members.size() == 10, "the result object has its ten keys");
  RequireString(resultJson, 0, L"Result", ResultWord(exitCode, alreadyCurrent));
  RequireNumber(resultJson, 1, L"ExitCode", std::to_wstring(exitCode));
  RequireString(resultJson, 2, L"Message", result.message);
  const wchar_t* const keys[] = {L"Image", L"ImageSha256", L"FwRevBefore", L"FwRevAfter", L"SerialNumber",
                                 L"UpdaterExitCode"};
  for (size_t i = 0; i < std::size(keys); ++i) RequireOptional(resultJson, 3 + i, keys[i], *optionals[i]);
  Require(resultJson.members[9].first == L"Seconds" && resultJson.members[9].second.kind == JsonValue::Number,
          "the seconds are a number");
  const int magnitude = tenths < 0 ? -tenths : tenths;
  const std::wstring seconds =
      (tenths < 0 ? L"-" : L"") + std::to_wstring(magnitude / 10) + L"." + std::to_wstring(magnitude % 10);
  Require(resultJson.members[9].second.text == seconds, "the seconds to a tenth");
  return 0;
}
