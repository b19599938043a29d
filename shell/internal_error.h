#pragma once
// A fault of the program ends the run as an internal error, exit 14, never
// with a code a script reads otherwise (the C runtime's 3 is "no dock", an
// NTSTATUS is none of ours): an exception no thread catches, std::terminate,
// and a crash (an unhandled SEH exception such as an access violation)
// alike. Each is told once: the log line "Internal error: <what>", standard
// error, and in the window a box.
#include <windows.h>

#include <string>

#include "base/portable/exception_text.h"

// Which front end runs: the window shows a box as well.
enum class FailureReport { Console, WindowBox };

// At both entry points, first: std::terminate and the unhandled-exception
// filter end the process as an internal error.
void InstallFailureHandlers(FailureReport report);

// Tells `what` as an internal error and ends the process with exit 14.
[[noreturn]] void EndWithInternalError(const std::string& what);

// "exception 0xC0000005 at VarnockFWUpdate.exe+0x1a2b3": a crash's code and
// where it happened, by module and offset (stable across loads).
std::string DescribeCrash(const EXCEPTION_RECORD& record);

// A thread body that keeps nothing it throws: the run ends as an internal error.
template <typename Body>
void RunCatching(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    EndWithInternalError(CurrentExceptionText());
  }
}
