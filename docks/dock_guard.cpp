#include "docks/dock_guard.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cwchar>

#include "base/process_token.h"

namespace {

const wchar_t* g_pDockAccessName = DOCK_ACCESS_NAME;
const wchar_t* g_pFlashRunningName = FLASH_RUNNING_NAME;
std::atomic<long> g_flashesBegunHere{0};

// SEMAPHORE_QUERY_STATE, which the headers do not name.
constexpr DWORD SEMAPHORE_QUERY = 0x0001;
constexpr LONG FLASH_COUNT_MAX = 0x7FFFFFFF;

// A security descriptor from its text; empty owner when it cannot be built.
UniqueLocal BuildSecurityDescriptor(DWORD usersMay) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(GuardSecurityDescriptor(usersMay).c_str(), SDDL_REVISION_1,
                                                       &descriptor, nullptr);
  return UniqueLocal(descriptor);
}

// The access mutex, opened with no more access than waiting and releasing need.
UniqueHandle OpenDockAccess() {
  const UniqueLocal descriptor = BuildSecurityDescriptor(SYNCHRONIZE | MUTEX_MODIFY_STATE);
  if (!descriptor) return UniqueHandle();
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor.Get();
  security.bInheritHandle = FALSE;
  return UniqueHandle(CreateMutexExW(&security, g_pDockAccessName, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
}

// The flash count, opened (or made) for counting and reading.
UniqueHandle OpenFlashCount() {
  const UniqueLocal descriptor = BuildSecurityDescriptor(SEMAPHORE_MODIFY_STATE | SEMAPHORE_QUERY);
  if (!descriptor) return UniqueHandle();
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor.Get();
  security.bInheritHandle = FALSE;
  return UniqueHandle(CreateSemaphoreExW(&security, 0, FLASH_COUNT_MAX, FLASH_COUNT_NAME, 0,
                                         SYNCHRONIZE | SEMAPHORE_MODIFY_STATE | SEMAPHORE_QUERY));
}

// Tells watchers that a flash began: nobody waits on the semaphore, its
// count only grows. Without watchers the object (and the count) goes.
void CountFlashBegun() {
  // Ours first: a watcher that sees the count move sees our part of it too.
  ++g_flashesBegunHere;
  const UniqueHandle count = OpenFlashCount();
  if (count) ReleaseSemaphore(count.Get(), 1, nullptr);
}

// Takes the access mutex, waiting for another holder at most `waitMs`.
bool TakeDockAccess(HANDLE mutex, DWORD waitMs = DOCK_ACCESS_WAIT_MS) {
  const DWORD result = WaitForSingleObject(mutex, waitMs);
  // Abandoned: its holder died mid-look; the mutex is ours now.
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

}  // namespace

DockGuardNamesForTest::DockGuardNamesForTest(const wchar_t* access, const wchar_t* flash) {
  g_pDockAccessName = access;
  g_pFlashRunningName = flash;
}

DockGuardNamesForTest::~DockGuardNamesForTest() {
  g_pDockAccessName = DOCK_ACCESS_NAME;
  g_pFlashRunningName = FLASH_RUNNING_NAME;
}

std::wstring GuardSecurityDescriptor(DWORD usersMay) {
  std::wstring text = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
  if (usersMay == 0) return text;
  wchar_t users[32] = {};
  std::swprintf(users, 32, L"(A;;0x%08lx;;;AU)", static_cast<unsigned long>(usersMay));
  return text + users;
}

const wchar_t* FlashMarkerName() { return g_pFlashRunningName; }
const wchar_t* DockAccessName() { return g_pDockAccessName; }

bool IsOwnGuardObject(HANDLE object, DWORD allAccess) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const UniqueLocal owned(descriptor);
  const std::wstring ownerSid = SidText(owner);
  // SYSTEM, Administrators, or the running account (as its token names it
  // for what it makes: under Wine a group of the user's).
  if (ownerSid != L"S-1-5-18" && ownerSid != L"S-1-5-32-544" && ownerSid != ProcessUserSid() &&
      ownerSid != ProcessDefaultOwnerSid()) {
    return false;
  }
  if (dacl == nullptr || dacl->AceCount != 2) return false;
  const WELL_KNOWN_SID_TYPE expected[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
  for (DWORD index = 0; index < 2; ++index) {
    void* raw = nullptr;
    if (!GetAce(dacl, index, &raw)) return false;
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    if (ace->Mask != GENERIC_ALL && (ace->Mask & allAccess) != allAccess) return false;
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(sid);
    if (!CreateWellKnownSid(expected[index], nullptr, sid, &size) ||
        !EqualSid(const_cast<DWORD*>(&ace->SidStart), sid)) {
      return false;
    }
  }
  return true;
}

FlashMarker QueryFlashMarker() {
  const UniqueHandle marker(OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, g_pFlashRunningName));
  // Only a marker with the program's own security is a flash: another
  // program's event under the name would otherwise hold every copy off the dock.
  if (marker) return IsOwnGuardObject(marker.Get(), EVENT_ALL_ACCESS) ? FlashMarker::Present : FlashMarker::Unusable;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND: return FlashMarker::Absent;
    // Only SYSTEM and Administrators may open it: anyone else refused sees a flash.
    case ERROR_ACCESS_DENIED: return FlashMarker::Present;
    default: return FlashMarker::Unusable;  // another type of object, a bad name
  }
}

bool FlashRunningAnywhere() { return QueryFlashMarker() != FlashMarker::Absent; }

const wchar_t* UnusableDockGuard() {
  if (QueryFlashMarker() == FlashMarker::Unusable) return g_pFlashRunningName;
  return OpenDockAccess() ? nullptr : g_pDockAccessName;
}

DockQueryGuard::DockQueryGuard(const FlashGuard* ownFlash, DWORD waitMs) : mutex_(OpenDockAccess()) {
  const bool ours = ownFlash != nullptr && ownFlash->Held();
  // A flash is never waited for.
  const FlashMarker marker = ours ? FlashMarker::Absent : QueryFlashMarker();
  if (marker == FlashMarker::Unusable) {
    unusable_ = g_pFlashRunningName;
    return;
  }
  if (marker == FlashMarker::Present) {
    flashRunning_ = true;
    return;
  }
  if (!mutex_) {
    unusable_ = g_pDockAccessName;
    return;
  }
  held_ = TakeDockAccess(mutex_.Get(), waitMs);
  // A flash may have begun while we waited, or be left by a killed copy.
  if (held_ && !ours && FlashRunningAnywhere()) flashRunning_ = true;
}

DockQueryGuard::~DockQueryGuard() {
  if (held_) ReleaseMutex(mutex_.Get());
}

FlashGuard::FlashGuard(DWORD waitMs) {
  const UniqueLocal descriptor = BuildSecurityDescriptor(0);
  if (!descriptor) return;
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor.Get();
  security.bInheritHandle = TRUE;  // the updater gets it, and only the updater (its handle list)
  UniqueHandle marker(
      CreateEventExW(&security, g_pFlashRunningName, CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE | READ_CONTROL));
  if (!marker) {
    // Refused: made by a flashing copy of another account. Anything else: not ours to use.
    if (GetLastError() != ERROR_ACCESS_DENIED) unusable_ = g_pFlashRunningName;
    return;
  }
  // Made already by somebody else: a flash runs, perhaps an orphaned one;
  // or another program took the name.
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    if (!IsOwnGuardObject(marker.Get(), EVENT_ALL_ACCESS)) unusable_ = g_pFlashRunningName;
    return;
  }
  // From now on no new look begins; one under way is waited for.
  const UniqueHandle mutex = OpenDockAccess();
  if (!mutex) {
    unusable_ = g_pDockAccessName;
    return;
  }
  if (TakeDockAccess(mutex.Get(), waitMs)) {
    ReleaseMutex(mutex.Get());
  } else if (waitMs == 0) {
    lookPending_ = true;
  } else {
    dockBusy_ = true;
    return;
  }
  marker_ = std::move(marker);
  CountFlashBegun();
}

bool FlashGuard::AwaitLooks(DWORD waitMs) {
  if (!lookPending_) return Held();
  const UniqueHandle mutex = OpenDockAccess();
  if (mutex && TakeDockAccess(mutex.Get(), waitMs)) {
    ReleaseMutex(mutex.Get());
    lookPending_ = false;
    return true;
  }
  marker_.Reset();
  lookPending_ = false;
  dockBusy_ = true;
  return false;
}

long FlashesBegunHere() { return g_flashesBegunHere.load(); }

FlashCount::FlashCount() : semaphore_(OpenFlashCount()) {}

bool FlashCount::Read(long& count) const {
  // The count is read through ntdll: no Win32 call reads a semaphore
  // without changing it.
  struct SemaphoreBasicInformation {
    LONG currentCount;
    LONG maximumCount;
  };
  using QuerySemaphore = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<QuerySemaphore>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySemaphore")));
  if (!semaphore_ || query == nullptr) return false;
  SemaphoreBasicInformation information{};
  if (query(semaphore_.Get(), 0 /*SemaphoreBasicInformation*/, &information, sizeof(information), nullptr) < 0) {
    return false;
  }
  count = information.currentCount;
  return true;
}
