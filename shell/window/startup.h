#pragma once
// Steps of the program's start-up, in the order wWinMain takes them.
#include <windows.h>

#include <string>
#include <vector>

inline constexpr int MAIN_WINDOW_WIDTH = 900;
inline constexpr int MAIN_WINDOW_HEIGHT = 520;

// The program's arguments, without its own name.
std::vector<std::wstring> ProgramArguments();

// The main window of a running copy (same class and title), or null.
HWND FindRunningCopy();
// A running copy is restored and raised: true if found.
bool RaiseRunningCopy();
// Creates the log; on failure tells the user and goes on without a log file.
void StartLogging();
// Major, minor and build of the running Windows, zeros if unknown.
OSVERSIONINFOEXW QueryWindowsVersion();
// The main window in the order start-up needs: common controls and COM, the
// window class, the window (its status bar), the menu bar, the device list
// (filled once from the dock) and the device notification. Null when the
// class or the window cannot be made.
HWND BuildMainWindow(HINSTANCE instance);
// Centres the window on the screen, shows it and paints it.
void ShowMainWindow(HWND window);

void InitUiLibraries();
bool RegisterMainWindowClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance);
// Top-left corner that centres a window of the given size on a screen.
POINT CentredOrigin(int width, int height, int screenWidth, int screenHeight);
void CentreOnScreen(HWND window);
// Exit code when the message loop itself fails (GetMessageW returns -1).
inline constexpr int EXIT_MESSAGE_LOOP_FAILED = 1;
// Runs until WM_QUIT and returns its code. Keys for the main window or its
// children go through the main window's shortcuts first.
int RunMessageLoop(HWND mainWindow);
