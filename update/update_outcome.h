#pragma once
// Decides the outcome of an update from everything the tool printed, read in
// blocks of any size, in constant memory. Portable.
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::string_view UPDATE_FAILED_TEXT = "Firmware update failed";
inline constexpr std::string_view UPDATE_COMPLETED_TEXT = "Firmware install (phase-1) completed";

class UpdateOutcome {
 public:
  // Feeds the next block of output; texts split across blocks are found.
  void Feed(const char* data, size_t length);
  // Failed when the failure text occurred and the completion text did not;
  // anything else, no output at all included, is a success.
  bool Failed() const { return sawFailure_ && !sawCompletion_; }
  bool SawFailure() const { return sawFailure_; }
  bool SawCompletion() const { return sawCompletion_; }

 private:
  std::string tail_;  // the last bytes of the previous block, shorter than the longest text
  bool sawFailure_ = false;
  bool sawCompletion_ = false;
};
