#pragma once
// The MainWindow built inside the test process the way wWinMain builds it,
// over the simulated dock, and the probes the window tests share: the log,
// the popup menu, message boxes, debugger output and a clipboard reader in
// a second process.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "standins/sim_dock/sim_dock.h"

namespace wintest {

// True when this run has a Chinese UI language (VARNOCK_UI_LANG=2052).
bool ChineseRun();

// ---- the log (basic-log.txt of the test's scratch folder) -----------------
// Messages ("level text") written so far; the log is flushed first.
std::vector<std::string> LogNow();
// Messages written after an earlier LogNow().size().
std::vector<std::string> LogSince(size_t mark);
size_t LogMark();
int CountOf(const std::vector<std::string>& messages, const std::string& message);

// ---- the MainWindow ---------------------------------------------------------
// The program's own build-up of its window, over the given simulated dock
// (shown with the program's ShowMainWindow).
HWND BuildMainWindow(const SimDockState& dock);
// Destroys the window (its WM_DESTROY runs the shutdown sequence), drops the
// quit message that posts and resets the process-wide handles and flags.
void DestroyMainWindow(HWND window);
// Drops a pending WM_QUIT; true if there was one, its code in *code.
bool TakeQuitMessage(int* code = nullptr);

// A shown MainWindow over the default simulated dock for each test.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Replaces the window by one built over another dock.
  void Rebuild(const SimDockState& dock);

  HWND window_ = nullptr;
};

// Client rectangle of a child in its parent's client coordinates.
RECT ChildRect(HWND child);
// Screen point at the centre of a row of the list.
POINT RowCentreOnScreen(HWND list, int row);
void SelectRows(HWND list, const std::vector<int>& rows);

// ---- menus ------------------------------------------------------------------
struct MenuEntry {
  UINT id = 0;
  bool separator = false;
  bool checked = false;
  bool popup = false;
  std::wstring text;
};
std::vector<MenuEntry> ReadMenu(HMENU menu);

struct PopupSeen {
  bool shown = false;
  std::vector<MenuEntry> entries;
  RECT frame{};  // the menu window on the screen
};
// Sends WM_CONTEXTMENU for a screen point and records the popup menu the
// window shows, if any. With choose >= 0 that entry (by position among the
// selectable ones) is chosen with the keyboard, otherwise the menu is cancelled.
PopupSeen ContextMenuAt(HWND window, POINT screen, int choose = -1);

// ---- message boxes ----------------------------------------------------------
struct BoxSeen {
  bool shown = false;
  std::wstring caption;
  std::wstring text;
  HWND owner = nullptr;
  std::vector<int> buttons;  // ids of the visible buttons
};
// Runs the action on this thread; a helper thread records the first message
// box this thread shows and presses OK.
BoxSeen RunClosingMessageBox(const std::function<void()>& action);

// ---- debugger output --------------------------------------------------------
// Collects OutputDebugString texts of this process while it lives, through
// the debug-print exceptions the system raises for an attached debugger.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
  // False when the platform raises no debug-print exception at all.
  static bool Works();
  // All text traced since construction (or the last Clear), calls concatenated.
  std::wstring Text() const;
  void Clear();

 private:
  void* handler_ = nullptr;
};

// ---- the clipboard from a second process -------------------------------------
struct ClipboardRead {
  int exitCode = -1;
  size_t bytes = 0;
  std::wstring text;
};
// Runs clipboard_reader.exe text and reads its output through a pipe.
ClipboardRead ReadClipboardFromOtherProcess();
// Puts a text on the clipboard from this process.
void PutClipboardText(const std::wstring& text);

// clipboard_reader.exe hold: another process keeps the clipboard open until Release().
class ClipboardHolder {
 public:
  ClipboardHolder();
  ~ClipboardHolder();
  ClipboardHolder(const ClipboardHolder&) = delete;
  ClipboardHolder& operator=(const ClipboardHolder&) = delete;
  bool Holding() const { return holding_; }
  // Lets it close the clipboard; returns its exit code.
  DWORD Release();

 private:
  HANDLE process_ = nullptr;
  HANDLE input_ = nullptr;
  bool holding_ = false;
};

}  // namespace wintest
