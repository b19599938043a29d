#include "update/wait_dialog.h"

#include <atomic>

#include "resources/resource.h"
#include "base/ui_text.h"

namespace {
// Written by the dialog on the UI thread, read by the update worker.
std::atomic<HWND> g_hWaitDialog{nullptr};
std::atomic<bool> g_bWaitDialogCloseRequested{false};
}  // namespace

HWND LastWaitDialog() { return g_hWaitDialog.load(); }

void PrepareWaitDialogHandshake() {
  // The last box's handle goes too: a close request made before the new box
  // exists must reach no old window, and the flag alone carries it.
  g_hWaitDialog.store(nullptr);
  g_bWaitDialogCloseRequested.store(false);
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

INT_PTR CALLBACK WaitDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      RECT owner{};
      RECT own{};
      GetWindowRect(GetParent(dialog), &owner);
      GetWindowRect(dialog, &own);
      const POINT origin = CentreOver(owner, own);
      SetWindowPos(dialog, nullptr, origin.x, origin.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
      SetDlgItemTextW(dialog, IDC_WAIT_TEXT, TXT_WAIT_UPDATING.In(SelectUiLanguage()));
      g_hWaitDialog.store(dialog);
      if (g_bWaitDialogCloseRequested.load()) PostMessageW(dialog, WM_CLOSE, 0, 0);
      return TRUE;
    }
    case WM_CLOSE:
      // Only the worker ends the box. Alt+F4, the system menu or another
      // program's WM_CLOSE would re-enable the main window mid-flash.
      if (g_bWaitDialogCloseRequested.load()) EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}
