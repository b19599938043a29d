#include "tests/window/app_window.h"

#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <thread>

#include "shell/window/device_list.h"
#include "shell/window/hotplug.h"
#include "resources/resource.h"
#include "base/log.h"
#include "shell/window/menus.h"
#include "shell/window/startup.h"

namespace wintest {

namespace {

// The program's log, created once per process in the scratch folder, as start-up does.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    DeleteFileW(L"basic-log.txt");
    CreateLog();
  }
};
[[maybe_unused]] ::testing::Environment* const g_logEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

}  // namespace

const std::wstring DEFAULT_DOCK_COPY =
    L"制造商 : Varnock\n产品 : Varnock USB-C Dock\n序列号 : VN-2026-0001\n固件版本 : 1.2.3.4\n\n";

std::vector<std::string> DefaultDockLines() {
  return {"info iManufacturer Varnock", "info iProduct Varnock USB-C Dock", "info iSerialNumber VN-2026-0001",
          "info fwver 1.2.3.4"};
}

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// ---- the MainWindow ---------------------------------------------------------

HWND BuildMainWindow(const SimDockState& dock) {
  SimDockSet(dock);
  SimDockCountersReset();
  return ::BuildMainWindow(GetModuleHandleW(nullptr));
}

bool TakeQuitMessage(int* code) {
  MSG message;
  if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
  if (code != nullptr) *code = static_cast<int>(message.wParam);
  return true;
}

void DestroyMainWindow(HWND window) {
  if (IsWindow(window)) DestroyWindow(window);
  testsupport::PumpMessages();  // the quit message goes with the rest
}

void MainWindowTest::SetUp() {
  window_ = BuildMainWindow(SimDockState{});
  ShowMainWindow(window_);
}

void MainWindowTest::TearDown() { DestroyMainWindow(window_); }

void MainWindowTest::Rebuild(const SimDockState& dock) {
  DestroyMainWindow(window_);
  window_ = BuildMainWindow(dock);
  ShowMainWindow(window_);
}

RECT ChildRect(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

POINT RowCentreOnScreen(HWND list, int row) {
  RECT rect{};
  rect.left = LVIR_BOUNDS;
  SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&rect));
  POINT point{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  ClientToScreen(list, &point);
  return point;
}

void SelectRows(HWND list, const std::vector<int>& rows) {
  LVITEMW clear{};
  clear.stateMask = LVIS_SELECTED;
  clear.state = 0;
  SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&clear));
  for (int row : rows) {
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  }
}

// ---- menus ------------------------------------------------------------------

std::vector<MenuEntry> ReadMenu(HMENU menu) {
  std::vector<MenuEntry> entries;
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    wchar_t text[128] = {};
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 128;
    if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) continue;
    MenuEntry entry;
    entry.id = info.wID;
    entry.separator = (info.fType & MFT_SEPARATOR) != 0;
    entry.checked = (info.fState & MFS_CHECKED) != 0;
    entry.popup = info.hSubMenu != nullptr;
    entry.text = text;
    entries.push_back(entry);
  }
  return entries;
}

namespace {

struct PopupSpy {
  PopupSeen seen;
  int choose = -1;
  bool acted = false;
};
PopupSpy* g_popupSpy = nullptr;

HWND VisiblePopupMenuWindow(DWORD thread) {
  const std::vector<HWND> menus = testsupport::FindThreadWindows(thread, L"#32768");
  return menus.empty() ? nullptr : menus.front();
}

// Runs inside the menu's modal loop, on this thread.
void CALLBACK PopupSpyTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (g_popupSpy == nullptr || g_popupSpy->acted) return;
  HWND menuWindow = VisiblePopupMenuWindow(GetCurrentThreadId());
  if (menuWindow == nullptr) return;
  const auto menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
  g_popupSpy->seen.shown = true;
  g_popupSpy->seen.entries = ReadMenu(menu);
  GetWindowRect(menuWindow, &g_popupSpy->seen.frame);
  g_popupSpy->acted = true;
  if (g_popupSpy->choose < 0) {
    EndMenu();
    return;
  }
  for (int i = 0; i <= g_popupSpy->choose; ++i) PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
}

// Cancels a menu that nobody dismissed, so a failing test does not hang.
class MenuWatchdog {
 public:
  explicit MenuWatchdog(DWORD thread)
      : worker_([this, thread] {
          if (testsupport::WaitUntil([this] { return done_.load(); }, std::chrono::seconds(10))) return;
          fired_ = true;
          if (HWND menuWindow = VisiblePopupMenuWindow(thread)) {
            PostMessageW(menuWindow, WM_CANCELMODE, 0, 0);
            PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
          }
        }) {}
  ~MenuWatchdog() {
    done_ = true;
    worker_.join();
  }
  bool Fired() const { return fired_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<bool> fired_{false};
  std::thread worker_;
};

}  // namespace

PopupSeen ContextMenuAt(HWND window, POINT screen, int choose) {
  PopupSpy spy;
  spy.choose = choose;
  g_popupSpy = &spy;
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, PopupSpyTimer);
  {
    MenuWatchdog watchdog(GetCurrentThreadId());
    SendMessageW(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), MAKELPARAM(screen.x, screen.y));
    EXPECT_FALSE(watchdog.Fired()) << "the popup menu was never dismissed by the test";
  }
  KillTimer(nullptr, timer);
  g_popupSpy = nullptr;
  return spy.seen;
}

// ---- message boxes ----------------------------------------------------------

std::optional<testsupport::MessageBoxSeen> RunClosingMessageBox(const std::function<void()>& action) {
  std::optional<testsupport::MessageBoxSeen> seen;
  const DWORD thread = GetCurrentThreadId();
  std::atomic<bool> finished{false};
  std::thread closer([&] {
    HWND box = nullptr;
    testsupport::WaitUntil(
        [&] {
          if (finished) return true;
          const std::vector<HWND> boxes = testsupport::FindThreadWindows(thread, L"#32770");
          if (!boxes.empty()) box = boxes.front();
          return box != nullptr;
        },
        std::chrono::seconds(10));
    if (box != nullptr) seen = testsupport::AnswerMessageBox(box);
  });
  action();
  finished = true;
  closer.join();
  return seen;
}

// ---- debugger output --------------------------------------------------------

namespace {

constexpr DWORD DEBUG_PRINT_WIDE = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C
constexpr DWORD DEBUG_PRINT_ANSI = 0x40010006;  // DBG_PRINTEXCEPTION_C

std::mutex g_debugLock;
std::wstring g_debugWide;
std::wstring g_debugAnsi;

// Continuing the exception tells the system a debugger took the text.
LONG CALLBACK DebugPrintHandler(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
  const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
  if (record->ExceptionCode == DEBUG_PRINT_WIDE) {
    const auto* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
    std::lock_guard<std::mutex> lock(g_debugLock);
    g_debugWide.append(text, wcsnlen(text, length));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (record->ExceptionCode == DEBUG_PRINT_ANSI) {
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    const std::string narrow(text, strnlen(text, length));
    std::lock_guard<std::mutex> lock(g_debugLock);
    for (char c : narrow) g_debugAnsi += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

DebugOutputCapture::DebugOutputCapture() {
  handler_ = AddVectoredExceptionHandler(1, DebugPrintHandler);
  Clear();
  OutputDebugStringW(L"probe\n");
  const std::wstring probe = Text();
  Clear();
  if (probe != L"probe\n") {
    ADD_FAILURE() << "debugger output cannot be watched here (a probe trace came back as \""
                  << testsupport::Utf8(probe) << "\"): the traces are not checked";
  }
}

DebugOutputCapture::~DebugOutputCapture() {
  if (handler_ != nullptr) RemoveVectoredExceptionHandler(handler_);
}

std::wstring DebugOutputCapture::Text() const {
  std::lock_guard<std::mutex> lock(g_debugLock);
  return g_debugWide.empty() ? g_debugAnsi : g_debugWide;
}

void DebugOutputCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_debugLock);
  g_debugWide.clear();
  g_debugAnsi.clear();
}

// ---- the clipboard from a second process -------------------------------------

namespace {

std::wstring ReaderCommand(const wchar_t* mode) {
  return L"\"" + testsupport::ExecutableFolder() + L"clipboard_reader.exe\" " + mode;
}

}  // namespace

ClipboardRead ReadClipboardFromOtherProcess() {
  ClipboardRead result;
  const std::wstring output = testsupport::StartFolder() + L"\\clipboard-read.txt";
  // The window that owns the clipboard lives on this thread: it keeps
  // answering, as a program's window would, while the reader reads.
  const testsupport::ChildProcess reader = testsupport::StartProcess(ReaderCommand(L"text"), L"", output);
  if (reader.process == nullptr) {
    ADD_FAILURE() << "the clipboard reader could not be started: error " << GetLastError();
    return result;
  }
  testsupport::PumpUntil([&] { return testsupport::WaitForExit(reader.process, 0) != STILL_ACTIVE; },
                         std::chrono::seconds(10));
  result.exitCode = static_cast<int>(testsupport::WaitForExit(reader.process, 0));
  if (result.exitCode == static_cast<int>(STILL_ACTIVE)) TerminateProcess(reader.process, 99);
  CloseHandle(reader.process);
  const std::string bytes = testsupport::ReadFileBytes(output);
  const size_t newline = bytes.find('\n');
  if (newline != std::string::npos) {
    result.bytes = std::stoul(bytes.substr(0, newline));
    result.text = testsupport::Wide(bytes.substr(newline + 1));
  }
  return result;
}

void PutClipboardText(const std::wstring& text) {
  ASSERT_TRUE(testsupport::OpenClipboardPatiently());
  EmptyClipboard();
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  std::memcpy(GlobalLock(memory), text.c_str(), bytes);
  GlobalUnlock(memory);
  SetClipboardData(CF_UNICODETEXT, memory);
  CloseClipboard();
}

ClipboardHolder::ClipboardHolder() {
  const std::wstring said = testsupport::StartFolder() + L"\\clipboard-hold.txt";
  child_ = testsupport::StartProcess(ReaderCommand(L"hold"), L"", said, L"", true);
  if (child_.process == nullptr) return;
  testsupport::WaitUntil([&] {
    return testsupport::ReadFileBytes(said).find('\n') != std::string::npos ||
           testsupport::WaitForExit(child_.process, 0) != STILL_ACTIVE;
  });
  holding_ = testsupport::ReadFileBytes(said) == "held\n";
}

DWORD ClipboardHolder::Release() {
  if (child_.input != nullptr) {
    CloseHandle(child_.input);
    child_.input = nullptr;
  }
  if (child_.process == nullptr) return STILL_ACTIVE;
  const DWORD code = testsupport::WaitForExit(child_.process, 10000);
  CloseHandle(child_.process);
  child_.process = nullptr;
  return code;
}

}  // namespace wintest
