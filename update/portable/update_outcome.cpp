#include "update/portable/update_outcome.h"

#include <algorithm>
#include <cstdio>

void UpdateOutcome::Feed(const char* data, size_t length) {
  constexpr size_t keep = std::max(UPDATE_FAILED_TEXT.size(), UPDATE_COMPLETED_TEXT.size()) - 1;
  // The carried tail and the new block together. An occurrence lying wholly
  // in the tail was counted with the previous block; what ends past it is new.
  std::string text = tail_;
  text.append(data, length);
  const size_t newFrom = tail_.size();
  auto lastNew = [&](std::string_view needle) {
    const size_t at = text.rfind(needle);
    return at != std::string::npos && at + needle.size() > newFrom ? at : std::string::npos;
  };
  const size_t failure = lastNew(UPDATE_FAILED_TEXT);
  const size_t completion = lastNew(UPDATE_COMPLETED_TEXT);
  if (failure != std::string::npos) sawFailure_ = true;
  if (completion != std::string::npos) sawCompletion_ = true;
  // The two texts cannot overlap, so their starts order them.
  if (failure != std::string::npos && completion != std::string::npos) {
    lastWasFailure_ = failure > completion;
  } else if (failure != std::string::npos) {
    lastWasFailure_ = true;
  } else if (completion != std::string::npos) {
    lastWasFailure_ = false;
  }
  tail_ = text.size() > keep ? text.substr(text.size() - keep) : text;
}

std::string ExitCodeText(std::uint32_t exitCode) {
  char text[16] = {};
  std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(exitCode));
  return text;
}
