#pragma once
// More than one dock on the bus. The updater is told only the dock's IDs and
// picks a dock itself, so no flash starts while two or more are connected;
// and the dock read after a flash must be the one read before it. Portable.
#include <string>

#include "base/portable/ui_text.h"
#include "docks/portable/dock_info.h"

// Whether the number of docks on the bus lets a flash start.
constexpr bool SeveralDocks(int dockCount) { return dockCount > 1; }

// The window's status-bar text and FWDownload's refusal.
std::wstring SeveralDocksStatus(int dockCount, UiLanguage language);
std::wstring SeveralDocksRefusal(int dockCount, UiLanguage language);
// /info's line on standard error: "2 docks are connected; this is one of them."
std::wstring SeveralDocksInfoNote(int dockCount);

// Whether `now` is the dock that was read as `before`: the same serial
// number. A dock without one cannot be told from another and is taken.
bool IsSameDock(const DockInfo& before, const DockInfo& now);
