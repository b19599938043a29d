#include "shell/command_line/flash_hold.h"

#include <atomic>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "base/portable/ui_text.h"

namespace {

// The hold's owner's way to tell the user, reached by the console handler on
// a thread of the system's: taken and cleared under the lock, so the handler
// never calls it once the owner is gone. A lock with no destructor: the
// handler may run while the process ends.
SRWLOCK g_tellUserLock = SRWLOCK_INIT;
std::function<void(const wchar_t*)>* g_pTellUser = nullptr;
std::atomic<bool> g_bHolding{false};

void TellUser(const wchar_t* text) {
  AcquireSRWLockShared(&g_tellUserLock);
  if (g_pTellUser != nullptr) {
    try {
      (*g_pTellUser)(text);
    } catch (...) {
      // The refusal holds whether or not it could be told.
    }
  }
  ReleaseSRWLockShared(&g_tellUserLock);
}

void SetTellUser(std::function<void(const wchar_t*)>* tellUser) {
  AcquireSRWLockExclusive(&g_tellUserLock);
  g_pTellUser = tellUser;
  ReleaseSRWLockExclusive(&g_tellUserLock);
}

const char* ConsoleEventName(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return "CTRL_C_EVENT";
    case CTRL_BREAK_EVENT: return "CTRL_BREAK_EVENT";
    case CTRL_CLOSE_EVENT: return "CTRL_CLOSE_EVENT";
    case CTRL_LOGOFF_EVENT: return "CTRL_LOGOFF_EVENT";
    case CTRL_SHUTDOWN_EVENT: return "CTRL_SHUTDOWN_EVENT";
    default: return "console event";
  }
}

// Runs on a thread of the system's. Ctrl+C and Ctrl+Break are simply refused.
// After a close, logoff or shutdown signal the system ends the process once
// the handler returns: holding on is all that can be done, and the updater,
// which has no console, goes on either way.
BOOL WINAPI RefuseConsoleSignal(DWORD event) {
  if (!g_bHolding.load()) return FALSE;
  spdlog::error("CommandLine {} refused: firmware update in progress", ConsoleEventName(event));
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    TellUser(FLASH_NOT_INTERRUPTIBLE);
    return TRUE;
  }
  while (g_bHolding.load()) Sleep(100);
  return TRUE;
}

// The window calls, taken from user32 when the hold begins: the console twin
// links nothing of the window, and only a flash needs these.
struct WindowCalls {
  decltype(&RegisterClassW) registerClass = nullptr;
  decltype(&CreateWindowExW) createWindow = nullptr;
  decltype(&DestroyWindow) destroyWindow = nullptr;
  decltype(&DefWindowProcW) defWindowProc = nullptr;
  decltype(&GetMessageW) getMessage = nullptr;
  decltype(&PeekMessageW) peekMessage = nullptr;
  decltype(&TranslateMessage) translateMessage = nullptr;
  decltype(&DispatchMessageW) dispatchMessage = nullptr;
  decltype(&PostThreadMessageW) postThreadMessage = nullptr;
  decltype(&ShutdownBlockReasonCreate) blockReasonCreate = nullptr;
  decltype(&ShutdownBlockReasonDestroy) blockReasonDestroy = nullptr;

  bool Load() {
    HMODULE user32 = LoadLibraryW(L"user32.dll");  // stays loaded: it is the system's
    if (user32 == nullptr) return false;
    return Find(user32, "RegisterClassW", registerClass) && Find(user32, "CreateWindowExW", createWindow) &&
           Find(user32, "DestroyWindow", destroyWindow) && Find(user32, "DefWindowProcW", defWindowProc) &&
           Find(user32, "GetMessageW", getMessage) && Find(user32, "PeekMessageW", peekMessage) &&
           Find(user32, "TranslateMessage", translateMessage) && Find(user32, "DispatchMessageW", dispatchMessage) &&
           Find(user32, "PostThreadMessageW", postThreadMessage) &&
           Find(user32, "ShutdownBlockReasonCreate", blockReasonCreate) &&
           Find(user32, "ShutdownBlockReasonDestroy", blockReasonDestroy);
  }

  template <typename Function>
  static bool Find(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
  }
};

WindowCalls g_window;

LRESULT CALLBACK HoldWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      spdlog::info(LOG_SESSION_END_REFUSED);
      return FALSE;
    case WM_ENDSESSION:
      if (wParam) spdlog::error("WM_ENDSESSION: the session ends during a firmware update");
      return 0;
    case WM_CLOSE:
      return 0;  // only the hold's owner ends it
    default:
      return g_window.defWindowProc(window, message, wParam, lParam);
  }
}

}  // namespace

FlashHold::FlashHold(std::function<void(const wchar_t*)> tellUser) : tellUser_(std::move(tellUser)) {
  SetTellUser(&tellUser_);
  g_bHolding.store(true);
  SetConsoleCtrlHandler(RefuseConsoleSignal, TRUE);
  ready_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!ready_ || !g_window.Load()) return;
  thread_ = std::thread([this] {
    // Kept for the owner, which tells it once the updater has ended; the
    // ready event is set on every way out, so the owner never waits forever.
    try {
      RunHoldWindow();
    } catch (...) {
      failure_ = std::current_exception();
      SetEvent(ready_.Get());
    }
  });
  // Logoff asks the window only once it exists.
  WaitForSingleObject(ready_.Get(), INFINITE);
}

FlashHold::~FlashHold() {
  g_bHolding.store(false);
  if (thread_.joinable()) {
    if (threadId_ != 0) g_window.postThreadMessage(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  SetConsoleCtrlHandler(RefuseConsoleSignal, FALSE);
  SetTellUser(nullptr);
}

void FlashHold::RethrowFailure() const {
  if (failure_) std::rethrow_exception(failure_);
}

void FlashHold::RunHoldWindow() {
  MSG message{};
  g_window.peekMessage(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue, before anyone posts to it
  threadId_ = GetCurrentThreadId();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = HoldWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = FLASH_HOLD_CLASS;
  g_window.registerClass(&windowClass);
  HWND window = g_window.createWindow(0, FLASH_HOLD_CLASS, TXT_APP_TITLE, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                      instance, nullptr);
  if (window != nullptr) g_window.blockReasonCreate(window, TXT_SHUTDOWN_REASON.In(SelectUiLanguage()));
  SetEvent(ready_.Get());
  while (g_window.getMessage(&message, nullptr, 0, 0) > 0) {
    g_window.translateMessage(&message);
    g_window.dispatchMessage(&message);
  }
  if (window != nullptr) {
    g_window.blockReasonDestroy(window);
    g_window.destroyWindow(window);
  }
}
