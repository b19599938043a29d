#include "shell/window/wait_dialog.h"

#include <commctrl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "base/portable/text_conversion.h"
#include "base/portable/ui_text.h"
#include "base/win_handles.h"
#include "update/portable/tool_output_line.h"

namespace {
// Written by the dialog on the UI thread, read by the update worker.
std::atomic<HWND> g_hWaitDialog{nullptr};
std::atomic<bool> g_bWaitDialogCloseRequested{false};
std::atomic<bool> g_bWaitClockStopped{false};

// The worker's side of the line hand-over: the output seen so far and what
// was last handed to the box.
struct PendingWaitLine {
  LatestToolLine line;
  std::string handedOver;  // raw bytes of the line last posted
  bool pending = false;    // the latest line differs from what the box has
  ULONGLONG lastPost = 0;
};
PendingWaitLine g_pendingLine;  // worker only; reset before the worker starts

// The box that takes lines, and the texts posted to it and not yet taken.
// A posted text belongs to this list until the box takes it, so a message
// the closing box never reads leaks nothing, and a WM_APP_WAIT_LINE from
// anyone else names no text and is ignored.
struct LineMailbox {
  std::mutex lock;
  HWND box = nullptr;
  std::vector<std::unique_ptr<std::wstring>> posted;
};
LineMailbox g_mailbox;

constexpr UINT MARQUEE_STEP_MS = 30;
constexpr UINT ELAPSED_TICK_MS = 1000;

void OpenMailbox(HWND dialog) {
  const std::lock_guard<std::mutex> hold(g_mailbox.lock);
  g_mailbox.box = dialog;
}

// After this no post reaches the box, and what was posted is freed.
void CloseMailbox() {
  const std::lock_guard<std::mutex> hold(g_mailbox.lock);
  g_mailbox.box = nullptr;
  g_mailbox.posted.clear();
}

std::unique_ptr<std::wstring> TakePostedLine(LPARAM key) {
  const std::lock_guard<std::mutex> hold(g_mailbox.lock);
  for (auto it = g_mailbox.posted.begin(); it != g_mailbox.posted.end(); ++it) {
    if (reinterpret_cast<LPARAM>(it->get()) != key) continue;
    std::unique_ptr<std::wstring> text = std::move(*it);
    g_mailbox.posted.erase(it);
    return text;
  }
  return nullptr;
}

// Hands a text to the box; false when there is no box to take it.
bool PostToMailbox(std::unique_ptr<std::wstring> text) {
  const std::lock_guard<std::mutex> hold(g_mailbox.lock);
  if (g_mailbox.box == nullptr ||
      !PostMessageW(g_mailbox.box, WM_APP_WAIT_LINE, 0, reinterpret_cast<LPARAM>(text.get()))) {
    return false;
  }
  g_mailbox.posted.push_back(std::move(text));
  return true;
}

// Posts the latest line when it changed and the last post is old enough. A
// line not posted stays pending: the next block or quiet tick tries again,
// also when the box does not exist yet.
void HandOverLatestLine() {
  if (!g_pendingLine.pending) return;
  const ULONGLONG now = GetTickCount64();
  if (now - g_pendingLine.lastPost < WAIT_LINE_POST_MS) return;
  std::string raw = g_pendingLine.line.Latest();
  if (!PostToMailbox(std::make_unique<std::wstring>(Utf8ToWide(ToolLineUtf8(raw, AnsiToUtf8))))) return;
  g_pendingLine.handedOver = std::move(raw);
  g_pendingLine.pending = false;
  g_pendingLine.lastPost = now;
}

void ShowElapsed(HWND dialog) {
  if (g_bWaitClockStopped.load()) return;
  const auto started = static_cast<ULONGLONG>(GetWindowLongPtrW(dialog, DWLP_USER));
  SetDlgItemTextW(dialog, IDC_WAIT_ELAPSED, FormatElapsed((GetTickCount64() - started) / 1000).c_str());
}

// Width of `text` in the control's font, in pixels.
int TextWidth(HDC dc, const std::wstring& text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

// Shows a line, cut to the control's width.
void ShowLine(HWND dialog, const std::wstring& line) {
  HWND control = GetDlgItem(dialog, IDC_WAIT_OUTPUT);
  RECT client{};
  GetClientRect(control, &client);
  const UniqueWindowDc dc(control);
  const SelectedFont font(dc.Get(), reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  const std::wstring shown = FitWithEllipsis(line, client.right - client.left,
                                             [&dc](const std::wstring& text) { return TextWidth(dc.Get(), text); });
  SetWindowTextW(control, shown.c_str());
}

}  // namespace

void ShowToolOutput(const char* data, size_t length) {
  g_pendingLine.line.Feed(std::string_view(data, length));
  // Most blocks of a long run leave the line as it is, or change it within
  // the same tenth of a second; only the check below runs for them.
  if (!g_pendingLine.pending && g_pendingLine.line.Latest() != g_pendingLine.handedOver) g_pendingLine.pending = true;
  HandOverLatestLine();
}

void ToolOutputQuiet() { HandOverLatestLine(); }

void ShowWaitNote(const std::wstring& text) {
  // A tool line still waiting for its turn must not come after the note.
  g_pendingLine.pending = false;
  PostToMailbox(std::make_unique<std::wstring>(text));
}

void StopWaitClock() { g_bWaitClockStopped.store(true); }

HWND LastWaitDialog() { return g_hWaitDialog.load(); }

void PrepareWaitDialogHandshake() {
  // The last box's handle goes too: a close request made before the new box
  // exists must reach no old window, and the flag alone carries it.
  g_hWaitDialog.store(nullptr);
  g_bWaitDialogCloseRequested.store(false);
  g_bWaitClockStopped.store(false);
  g_pendingLine = PendingWaitLine{};
  CloseMailbox();
}

void RequestWaitDialogClose() {
  // Store before reading the handle; the dialog publishes its handle before
  // reading the flag. With both sequentially consistent, at least one side
  // sees the other, so the dialog is closed by the post or by itself.
  g_bWaitDialogCloseRequested.store(true);
  PostMessageW(g_hWaitDialog.load(), WM_CLOSE, 0, 0);
}

POINT CentreOver(const RECT& owner, const RECT& own) {
  const LONG x = owner.left + ((owner.right - owner.left) - (own.right - own.left)) / 2;
  const LONG y = owner.top + ((owner.bottom - owner.top) - (own.bottom - own.top)) / 2;
  return POINT{x, y};
}

INT_PTR CALLBACK WaitDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      RECT owner{};
      RECT own{};
      GetWindowRect(GetParent(dialog), &owner);
      GetWindowRect(dialog, &own);
      const POINT origin = CentreOver(owner, own);
      SetWindowPos(dialog, nullptr, origin.x, origin.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      const UiLanguage language = SelectUiLanguage();
      SetDlgItemTextW(dialog, IDC_WAIT_TEXT, TXT_WAIT_UPDATING.In(language));
      SetDlgItemTextW(dialog, IDC_WAIT_WARNING, TXT_WAIT_WARNING.In(language));
      SetDlgItemTextW(dialog, IDC_WAIT_OUTPUT, L"");
      SendDlgItemMessageW(dialog, IDC_WAIT_PROGRESS, PBM_SETMARQUEE, TRUE, MARQUEE_STEP_MS);
      SetWindowLongPtrW(dialog, DWLP_USER, static_cast<LONG_PTR>(GetTickCount64()));
      ShowElapsed(dialog);
      SetTimer(dialog, IDT_WAIT_ELAPSED, ELAPSED_TICK_MS, nullptr);
      OpenMailbox(dialog);
      g_hWaitDialog.store(dialog);
      if (g_bWaitDialogCloseRequested.load()) PostMessageW(dialog, WM_CLOSE, 0, 0);
      return TRUE;
    }
    case WM_CLOSE:
      // Only the worker ends the box. Alt+F4, the system menu or another
      // program's WM_CLOSE would re-enable the main window mid-flash.
      if (g_bWaitDialogCloseRequested.load()) EndDialog(dialog, 0);
      return TRUE;
    case WM_TIMER:
      if (wParam != IDT_WAIT_ELAPSED) return FALSE;
      ShowElapsed(dialog);
      return TRUE;
    case WM_APP_WAIT_LINE:
      if (const std::unique_ptr<std::wstring> line = TakePostedLine(lParam)) ShowLine(dialog, *line);
      return TRUE;
    case WM_DESTROY:
      KillTimer(dialog, IDT_WAIT_ELAPSED);
      CloseMailbox();
      return FALSE;
    default:
      return FALSE;
  }
}
