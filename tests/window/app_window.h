#pragma once
// The MainWindow built inside the test process the way wWinMain builds it,
// over the simulated dock, and the probes the window tests share: the popup
// menu, message boxes, debugger output and a clipboard reader in a second
// process.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "standins/sim_dock/sim_dock.h"
#include "tests/support/test_support.h"

namespace wintest {

using testsupport::ChineseRun;
using testsupport::CountOf;
using testsupport::LogMark;
using testsupport::LogSince;

// ---- the default simulated dock -----------------------------------------------
// Its row as Copy Info puts it on the clipboard, and the log lines of one query.
extern const std::wstring DEFAULT_DOCK_COPY;
std::vector<std::string> DefaultDockLines();
// `head` followed by `tail`.
std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail);

// ---- the MainWindow ---------------------------------------------------------
// The program's own build-up of its window, over the given simulated dock
// (shown with the program's ShowMainWindow).
HWND BuildMainWindow(const SimDockState& dock);
// Destroys the window (its WM_DESTROY runs the shutdown sequence), drops the
// quit message that posts and resets the process-wide handles and flags.
void DestroyMainWindow(HWND window);
// Drops a pending WM_QUIT; true if there was one, its code in *code.
bool TakeQuitMessage(int* code = nullptr);
inline HWND DeviceList(HWND mainWindow) { return GetDlgItem(mainWindow, IDC_DEVICELIST); }

// A shown MainWindow over the default simulated dock for each test.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Replaces the window by one built over another dock.
  void Rebuild(const SimDockState& dock);
  HWND List() const { return DeviceList(window_); }

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
// Runs the action on this thread; a helper thread reads the first message
// box this thread shows and presses OK.
std::optional<testsupport::MessageBoxSeen> RunClosingMessageBox(const std::function<void()>& action);

// ---- debugger output --------------------------------------------------------
// Collects OutputDebugString texts of this process while it lives, through
// the debug-print exceptions the system raises for an attached debugger. On a
// platform that raises none the test fails here, so that traces nobody can
// see never pass as "no trace".
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
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
// Runs clipboard_reader.exe text.
ClipboardRead ReadClipboardFromOtherProcess();
// Puts a text on the clipboard from this process.
void PutClipboardText(const std::wstring& text);

// clipboard_reader.exe hold: another process keeps the clipboard open until
// Release() closes its standard input.
class ClipboardHolder {
 public:
  ClipboardHolder();
  ~ClipboardHolder() { Release(); }
  ClipboardHolder(const ClipboardHolder&) = delete;
  ClipboardHolder& operator=(const ClipboardHolder&) = delete;
  bool Holding() const { return holding_; }
  // Lets it close the clipboard; returns its exit code.
  DWORD Release();

 private:
  testsupport::ChildProcess child_;
  bool holding_ = false;
};

}  // namespace wintest
