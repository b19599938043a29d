#include "update/wait_dialog.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <atomic>
#include <mutex>
#include <string>

#include "resources/resource.h"
#include "base/text_conversion.h"
#include "base/ui_text.h"
#include "update/tool_output_line.h"

namespace {
// Written by the dialog on the UI thread, read by the update worker.
std::atomic<HWND> g_hWaitDialog{nullptr};
std::atomic<bool> g_bWaitDialogCloseRequested{false};

// The latest output line, fed by the worker, taken by the box.
struct ToolLineSlot {
  std::mutex lock;
  LatestToolLine line;
  bool changed = false;
  ULONGLONG lastPost = 0;
};
ToolLineSlot g_toolLine;

constexpr UINT MARQUEE_STEP_MS = 30;
constexpr UINT ELAPSED_TICK_MS = 1000;

void ResetToolLine() {
  const std::lock_guard<std::mutex> hold(g_toolLine.lock);
  g_toolLine.line = LatestToolLine{};
  g_toolLine.changed = false;
  g_toolLine.lastPost = 0;
}

void ShowElapsed(HWND dialog) {
  const auto started = static_cast<ULONGLONG>(GetWindowLongPtrW(dialog, DWLP_USER));
  SetDlgItemTextW(dialog, IDC_WAIT_ELAPSED, FormatElapsed((GetTickCount64() - started) / 1000).c_str());
}

// Width of `text` in the control's font, in pixels.
int TextWidth(HDC dc, const std::wstring& text) {
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

// Takes a changed line from the slot and shows it, cut to the control's width.
void ShowLatestLine(HWND dialog) {
  std::string raw;
  {
    const std::lock_guard<std::mutex> hold(g_toolLine.lock);
    if (!g_toolLine.changed) return;
    g_toolLine.changed = false;
    raw = g_toolLine.line.Latest();
  }
  const std::wstring line = Utf8ToWide(ToolLineUtf8(raw, AnsiToUtf8));
  HWND control = GetDlgItem(dialog, IDC_WAIT_OUTPUT);
  RECT client{};
  GetClientRect(control, &client);
  HDC dc = GetDC(control);
  const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
  const std::wstring shown =
      FitWithEllipsis(line, client.right - client.left, [dc](const std::wstring& text) { return TextWidth(dc, text); });
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  SetWindowTextW(control, shown.c_str());
}

}  // namespace

void ShowToolOutput(const char* data, size_t length) {
  bool post = false;
  {
    const std::lock_guard<std::mutex> hold(g_toolLine.lock);
    g_toolLine.line.Feed(std::string_view(data, length));
    g_toolLine.changed = true;
    const ULONGLONG now = GetTickCount64();
    if (now - g_toolLine.lastPost >= WAIT_LINE_POST_MS) {
      g_toolLine.lastPost = now;
      post = true;
    }
  }
  // No handle yet, or a box already gone: the note is lost, the slot keeps the line.
  if (post) PostMessageW(g_hWaitDialog.load(), WM_APP_WAIT_LINE, 0, 0);
}

TaskbarBusy::TaskbarBusy(HWND window) : window_(window) {
  ITaskbarList3* taskbar = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&taskbar)))) {
    return;
  }
  if (FAILED(taskbar->HrInit())) {
    taskbar->Release();
    return;
  }
  taskbar->SetProgressState(window_, TBPF_INDETERMINATE);
  taskbar_ = taskbar;
}

TaskbarBusy::~TaskbarBusy() {
  if (taskbar_ == nullptr) return;
  auto* taskbar = static_cast<ITaskbarList3*>(taskbar_);
  taskbar->SetProgressState(window_, TBPF_NOPROGRESS);
  taskbar->Release();
}

HWND LastWaitDialog() { return g_hWaitDialog.load(); }

void PrepareWaitDialogHandshake() {
  // The last box's handle goes too: a close request made before the new box
  // exists must reach no old window, and the flag alone carries it.
  g_hWaitDialog.store(nullptr);
  g_bWaitDialogCloseRequested.store(false);
  ResetToolLine();
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

INT_PTR CALLBACK WaitDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
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
      ShowLatestLine(dialog);
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
      ShowLatestLine(dialog);
      return TRUE;
    case WM_APP_WAIT_LINE:
      ShowLatestLine(dialog);
      return TRUE;
    case WM_DESTROY:
      KillTimer(dialog, IDT_WAIT_ELAPSED);
      return FALSE;
    default:
      return FALSE;
  }
}
