#pragma once
// After a flash the updater called a success, the dock restarts. Both front
// ends prove the flash by asking the dock itself, under the dock guard, once
// a second: never on a window's thread, since a look may wait for the guard.
#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "docks/portable/dock_info.h"

inline constexpr std::chrono::seconds DOCK_PROOF_LIMIT{60};  // the window's wait
inline constexpr DWORD DOCK_PROOF_INTERVAL_MS = 1000;

enum class DockProof {
  Flashed,    // it answered with the version the flash was to give
  Unchanged,  // it answered otherwise: after a restart, or when the wait ran out
  NoAnswer,   // it never answered within the wait
  FlashRunning,  // at the end of the wait a flash runs (another copy's, or a helper our updater left): not read
};

struct DockAfterFlash {
  DockProof proof = DockProof::NoAnswer;
  std::optional<DockInfo> answer;  // its last answer, if any
  bool restarted = false;          // it was seen off the bus before it answered
};

// Whether an answer proves the flash: its firmware version, and whether the
// dock was seen off the bus (a restart) before it answered. Only a bus
// listed without the dock counts as off it: a dock that could not be opened
// for a moment, or a list that failed, never left.
using FlashedVersionRule = std::function<bool(const std::wstring& version, bool restarted)>;

// Asks the dock once a second until it answers with a version `flashed`
// accepts, or answers after it was seen off the bus, or `limit` has passed.
// The dock is never read beside a flash: one still running when the wait
// ends is the outcome.
// `who` begins each log line ("CommandLine", "FWDownload"). With `dockBefore`,
// only that dock's answer counts (IsSameDock): another dock's is no answer.
DockAfterFlash WaitForDockAfterFlash(const char* who, std::chrono::milliseconds limit,
                                     const FlashedVersionRule& flashed, const DockInfo* dockBefore = nullptr);

// The window's wait, shortened by tests (DockProofLimitForTest).
std::chrono::milliseconds WindowDockProofLimit();

// Tests only: the window waits `limit` while the object lives.
class DockProofLimitForTest {
 public:
  explicit DockProofLimitForTest(std::chrono::milliseconds limit);
  DockProofLimitForTest(const DockProofLimitForTest&) = delete;
  DockProofLimitForTest& operator=(const DockProofLimitForTest&) = delete;
  ~DockProofLimitForTest();
};
