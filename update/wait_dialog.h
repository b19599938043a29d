#pragma once
// The modal "please wait" box shown while the updater tool runs.
#include <windows.h>

INT_PTR CALLBACK WaitDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Position that centres a window of rectangle `own` over rectangle `owner`.
POINT CentreOver(const RECT& owner, const RECT& own);

// The dialog ends only on a WM_CLOSE the worker asked for; every other close
// (Alt+F4, the system menu, another program) is ignored.
// The worker may finish before the dialog exists. The worker records its
// close request here as well as posting it, and a dialog that initialises
// after the request ends itself at once, so the request is never lost.
void PrepareWaitDialogHandshake();  // UI thread, before the worker starts
void RequestWaitDialogClose();      // worker, on every way out
// The handle the last wait dialog published (it stays after the dialog ended).
HWND LastWaitDialog();
