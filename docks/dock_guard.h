#pragma once
// One guard for the dock across processes, sessions and killed runs. Two
// machine-wide named objects:
//  - the access mutex, held for every look at the dock (a query takes
//    milliseconds, so a second look waits for it briefly);
//  - the flash marker, an object that exists while a flash runs. The copy
//    that flashes creates it, and its updater inherits a handle to it, so it
//    lives until both have ended: a copy killed mid-flash leaves its updater
//    still marked as flashing.
// Neither object is ever waited for during a flash. Anything that cannot be
// created, opened or told counts as busy: never two writers, never a read
// beside a flash.
#include <windows.h>

#include <string>

#include "base/win_handles.h"

inline constexpr wchar_t DOCK_ACCESS_NAME[] = L"Global\\VarnockFWUpdate.DockAccess";
inline constexpr wchar_t FLASH_RUNNING_NAME[] = L"Global\\VarnockFWUpdate.FlashRunning";
// A semaphore whose count is the number of flashes begun while anybody kept
// it open: a watcher that holds it sees a flash too short for its looks.
inline constexpr wchar_t FLASH_COUNT_NAME[] = L"Global\\VarnockFWUpdate.FlashCount";
// How long a look at the dock waits for another look to end.
inline constexpr DWORD DOCK_ACCESS_WAIT_MS = 2000;

// SYSTEM and Administrators: all access; Authenticated Users: `usersMay`
// (none when 0). The access mutex lets users wait and release, so a copy
// running as SYSTEM and one running as a user share it; the flash marker
// grants users nothing, since a copy that cannot open it reads "a flash
// runs" anyway, and a user holding it open would stall every copy.
std::wstring GuardSecurityDescriptor(DWORD usersMay);

// What the flash marker says, looked at once.
enum class FlashMarker {
  Absent,    // no flash runs
  Present,   // a flash runs, or the marker is there and refuses us: the same
  Unusable,  // an object that is not the program's marker stands under its
             // name: another type, or security other than the marker's own
};

// Whether an object under a guard's name is the program's own: its DACL
// grants all access to SYSTEM and Administrators and nothing to anyone else
// (`allAccess` is the type's full access, as the generic right maps to), and
// its owner is SYSTEM, Administrators or the running account.
bool IsOwnGuardObject(HANDLE object, DWORD allAccess);
FlashMarker QueryFlashMarker();
// True while a flash runs anywhere on this machine, or when that cannot be told.
bool FlashRunningAnywhere();
// The names the two objects go by now (tests may rename them).
const wchar_t* FlashMarkerName();
const wchar_t* DockAccessName();
// The guard object that exists but cannot be used, looked at now; null when both serve.
const wchar_t* UnusableDockGuard();

class FlashGuard;

// Tests only: other names for the two objects while the object lives, so
// that the failure to make or open them can be shown on a system that would
// not refuse the real ones.
class DockGuardNamesForTest {
 public:
  DockGuardNamesForTest(const wchar_t* access, const wchar_t* flash);
  DockGuardNamesForTest(const DockGuardNamesForTest&) = delete;
  DockGuardNamesForTest& operator=(const DockGuardNamesForTest&) = delete;
  ~DockGuardNamesForTest();
};

// Held for one look at the dock. Not granted while a flash runs (unless it
// is `ownFlash`, the caller's own), nor when another look holds the dock
// for longer than `waitMs` (0 on a window's thread: it never waits).
class DockQueryGuard {
 public:
  explicit DockQueryGuard(const FlashGuard* ownFlash = nullptr, DWORD waitMs = DOCK_ACCESS_WAIT_MS);
  DockQueryGuard(const DockQueryGuard&) = delete;
  DockQueryGuard& operator=(const DockQueryGuard&) = delete;
  ~DockQueryGuard();
  bool Granted() const { return held_ && !flashRunning_ && unusable_ == nullptr; }
  // Refused because a flash runs (rather than because the dock stayed busy).
  bool FlashRunning() const { return flashRunning_; }
  // Refused because a guard object exists but cannot be used: its name; else null.
  const wchar_t* Unusable() const { return unusable_; }

 private:
  UniqueHandle mutex_;
  bool held_ = false;
  bool flashRunning_ = false;
  const wchar_t* unusable_ = nullptr;
};

// Held by the copy that flashes, from before its updater starts until the
// updater has ended. Any thread may end it. Once the marker is made no new
// look at the dock begins; one already under way is waited for, at most
// `waitMs`. A window's thread never waits: with `waitMs` 0 a look still
// under way leaves the guard pending, and the worker waits for it
// (AwaitLooks) before the updater starts.
class FlashGuard {
 public:
  explicit FlashGuard(DWORD waitMs = DOCK_ACCESS_WAIT_MS);
  FlashGuard(const FlashGuard&) = delete;
  FlashGuard& operator=(const FlashGuard&) = delete;
  // False when a flash already runs anywhere, the dock could not be had, or a look is still pending.
  bool Held() const { return marker_ && !lookPending_; }
  // The marker is made, and a look that was under way has not ended yet.
  bool LookPending() const { return marker_ && lookPending_; }
  // Waits for a pending look; false (and the marker dropped) when it outlasts `waitMs`.
  bool AwaitLooks(DWORD waitMs = DOCK_ACCESS_WAIT_MS);
  // Not held because another look kept the dock past the wait (no flash runs).
  bool DockBusy() const { return dockBusy_; }
  // Not held because a guard object exists but cannot be used: its name; else null.
  const wchar_t* Unusable() const { return unusable_; }
  // Inheritable: given to the updater, so the marker outlives this copy.
  HANDLE Marker() const { return marker_.Get(); }
  // This copy's part ends; the flash ends when the updater's part has too.
  void End() { marker_.Reset(); }

 private:
  UniqueHandle marker_;
  bool lookPending_ = false;
  bool dockBusy_ = false;
  const wchar_t* unusable_ = nullptr;
};

// Flashes this process began: the part of the count that is its own.
long FlashesBegunHere();

// The count of flashes begun, read without changing it. The object lives
// while this owner does, so the count goes on from one flash to the next.
class FlashCount {
 public:
  FlashCount();
  FlashCount(const FlashCount&) = delete;
  FlashCount& operator=(const FlashCount&) = delete;
  // False when the count cannot be read (no object, or no way to query it).
  bool Read(long& count) const;

 private:
  UniqueHandle semaphore_;
};
