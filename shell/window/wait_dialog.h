#pragma once
// The modal "please wait" box shown while the updater tool runs.
#include <windows.h>

#include "shell/window/app_messages.h"

#include <string>

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

// The worker hands each block of the updater's output here, and calls
// ToolOutputQuiet while the tool is silent. The box shows the latest line:
// the worker posts it as a message carrying its own text, at most one per
// WAIT_LINE_POST_MS, so a tool printing megabytes does not flood the box's
// queue. A line not posted yet (too soon, or no box yet) goes with the next
// block or quiet tick; posted texts the box never took are freed when it ends.
void ShowToolOutput(const char* data, size_t length);  // worker
void ToolOutputQuiet();                                // worker
// The worker's own word in the latest-line area, once the updater has ended.
void ShowWaitNote(const std::wstring& text);  // worker
// The elapsed time stops where it is: the outcome is being shown.
void StopWaitClock();  // worker
inline constexpr ULONGLONG WAIT_LINE_POST_MS = 100;
inline constexpr UINT_PTR IDT_WAIT_ELAPSED = 1;
