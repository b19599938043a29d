#include "docks/dock_guard.h"

#include <sddl.h>

#include <atomic>
#include <cwchar>

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

FlashMarker LookAtFlashMarker() {
  const UniqueHandle marker(OpenEventW(SYNCHRONIZE, FALSE, g_pFlashRunningName));
  if (marker) return FlashMarker::Present;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND: return FlashMarker::Absent;
    // Only SYSTEM and Administrators may open it: anyone else refused sees a flash.
    case ERROR_ACCESS_DENIED: return FlashMarker::Present;
    default: return FlashMarker::Unusable;  // another type of object, a bad name
  }
}

bool FlashRunningAnywhere() { return LookAtFlashMarker() != FlashMarker::Absent; }

const wchar_t* UnusableDockGuard() {
  if (LookAtFlashMarker() == FlashMarker::Unusable) return g_pFlashRunningName;
  return OpenDockAccess() ? nullptr : g_pDockAccessName;
}

DockQueryGuard::DockQueryGuard(const FlashGuard* ownFlash, DWORD waitMs) : mutex_(OpenDockAccess()) {
  const bool ours = ownFlash != nullptr && ownFlash->Held();
  // A flash is never waited for.
  const FlashMarker marker = ours ? FlashMarker::Absent : LookAtFlashMarker();
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

FlashGuard::FlashGuard() {
  const UniqueLocal descriptor = BuildSecurityDescriptor(0);
  if (!descriptor) return;
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor.Get();
  security.bInheritHandle = TRUE;  // the updater gets it, and only the updater (its handle list)
  UniqueHandle marker(CreateEventExW(&security, g_pFlashRunningName, CREATE_EVENT_MANUAL_RESET, SYNCHRONIZE));
  if (!marker) {
    // Refused: made by a flashing copy of another account. Anything else: not ours to use.
    if (GetLastError() != ERROR_ACCESS_DENIED) unusable_ = g_pFlashRunningName;
    return;
  }
  // Made already by somebody else: a flash runs, perhaps an orphaned one.
  if (GetLastError() == ERROR_ALREADY_EXISTS) return;
  // From now on no new look begins; one under way is waited for.
  const UniqueHandle mutex = OpenDockAccess();
  if (!mutex) unusable_ = g_pDockAccessName;
  if (!mutex || !TakeDockAccess(mutex.Get())) return;
  ReleaseMutex(mutex.Get());
  marker_ = std::move(marker);
  CountFlashBegun();
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
