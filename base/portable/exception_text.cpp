#include "base/portable/exception_text.h"

#include <exception>

std::string CurrentExceptionText() noexcept {
  try {
    throw;
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
    return "unknown exception";
  }
}
