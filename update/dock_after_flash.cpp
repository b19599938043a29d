#include "update/dock_after_flash.h"

#include <atomic>

#include <spdlog/spdlog.h>

#include "base/portable/text_conversion.h"
#include "docks/portable/dock_count.h"
#include "docks/dock_guard.h"
#include "docks/dock_query.h"

namespace {

std::atomic<long long> g_windowProofLimitMs{std::chrono::milliseconds(DOCK_PROOF_LIMIT).count()};

}  // namespace

DockAfterFlash WaitForDockAfterFlash(const char* who, std::chrono::milliseconds limit,
                                     const FlashedVersionRule& flashed, const DockInfo* dockBefore) {
  spdlog::info("{} waiting for the dock {} s", who, std::chrono::duration_cast<std::chrono::seconds>(limit).count());
  const auto deadline = std::chrono::steady_clock::now() + limit;
  DockAfterFlash result;
  bool seenAway = false;
  bool flashSeen = false;  // the last look was refused for a flash
  for (;;) {
    const DockQueryGuard guard;
    // The marker of an updater that has just ended may outlive it for a
    // moment; one that stays to the end of the wait is a flash running.
    flashSeen = guard.FlashRunning();
    if (flashSeen) {
      spdlog::error("{} dock not read: firmware update in progress", who);
    } else if (!guard.Granted()) {
      spdlog::error("{} dock not read: the dock is busy", who);
    } else {
      spdlog::info("{} QueryDock", who);
      const DockQueryResult query = QueryDockDiagnosed();
      if (query.info && dockBefore != nullptr && !IsSameDock(*dockBefore, *query.info)) {
        spdlog::error("{} another dock answered: {}", who, WideToUtf8(EscapeControlChars(query.info->SerialNumber)));
      } else if (query.info) {
        result.answer = query.info;
        result.restarted = seenAway;
        if (flashed(query.info->FwRev, seenAway)) {
          result.proof = DockProof::Flashed;
          return result;
        }
        // Back from its restart with no new version: waiting longer changes nothing.
        if (seenAway) break;
      } else if (query.presence == DockPresence::Absent) {
        seenAway = true;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    Sleep(DOCK_PROOF_INTERVAL_MS);
  }
  result.proof = flashSeen       ? DockProof::FlashRunning
                 : result.answer ? DockProof::Unchanged
                                 : DockProof::NoAnswer;
  return result;
}

std::chrono::milliseconds WindowDockProofLimit() { return std::chrono::milliseconds(g_windowProofLimitMs.load()); }

DockProofLimitForTest::DockProofLimitForTest(std::chrono::milliseconds limit) {
  g_windowProofLimitMs.store(limit.count());
}

DockProofLimitForTest::~DockProofLimitForTest() {
  g_windowProofLimitMs.store(std::chrono::milliseconds(DOCK_PROOF_LIMIT).count());
}
