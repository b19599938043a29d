#pragma once
// What was thrown, as one line of text: the one place that reads it.
#include <string>

// Inside a catch block: the exception's what(), or "unknown exception".
std::string CurrentExceptionText() noexcept;
