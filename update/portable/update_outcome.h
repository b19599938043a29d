#pragma once
// Decides the outcome of an update from everything the tool printed, read in
// blocks of any size, in constant memory, and from how the tool ended. Portable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view UPDATE_FAILED_TEXT = "Firmware update failed";
inline constexpr std::string_view UPDATE_COMPLETED_TEXT = "Firmware install (phase-1) completed";

class UpdateOutcome {
 public:
  // Feeds the next block of output; texts split across blocks are found.
  void Feed(const char* data, size_t length);
  // The text rule: failed when the failure text was printed after the last
  // completion text (or without one). A retry that completes after a failure
  // succeeds; no output at all is no failure by text.
  bool Failed() const { return lastWasFailure_; }
  bool SawFailure() const { return sawFailure_; }
  bool SawCompletion() const { return sawCompletion_; }

 private:
  std::string tail_;  // the last bytes of the previous block, shorter than the longest text
  bool sawFailure_ = false;
  bool sawCompletion_ = false;
  bool lastWasFailure_ = false;
};

// An exit code of 0xC0000000 and above is an NTSTATUS error: the tool
// crashed (0xC0000005) or was ended from outside (0xC000013A).
constexpr bool IsErrorStatus(std::uint32_t exitCode) { return exitCode >= 0xC0000000u; }

// The verdict on a tool that ran to its end: failed by its text, by an error
// status, or by a non-zero exit code without the completion text.
inline bool UpdaterRunFailed(const UpdateOutcome& text, std::uint32_t exitCode) {
  return text.Failed() || IsErrorStatus(exitCode) || (exitCode != 0 && !text.SawCompletion());
}

// "0xC0000005", "0x0": an exit code as the log and the console show it.
std::string ExitCodeText(std::uint32_t exitCode);
