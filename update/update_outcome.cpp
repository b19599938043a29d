#include "update/update_outcome.h"

#include <algorithm>

void UpdateOutcome::Feed(const char* data, size_t length) {
  constexpr size_t keep = std::max(UPDATE_FAILED_TEXT.size(), UPDATE_COMPLETED_TEXT.size()) - 1;
  // Search the carried tail together with the new block; only a window
  // around the seam needs the tail, so the rest is searched in place.
  std::string seam = tail_;
  seam.append(data, std::min(length, keep));
  const std::string_view block(data, length);
  auto seen = [&](std::string_view needle) {
    return seam.find(needle) != std::string::npos || block.find(needle) != std::string_view::npos;
  };
  sawFailure_ = sawFailure_ || seen(UPDATE_FAILED_TEXT);
  sawCompletion_ = sawCompletion_ || seen(UPDATE_COMPLETED_TEXT);

  if (length >= keep) {
    tail_.assign(data + length - keep, keep);
  } else {
    tail_.append(data, length);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
  }
}
