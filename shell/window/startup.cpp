#include "shell/window/startup.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <spdlog/spdlog.h>

#include "shell/window/device_list.h"
#include "shell/window/hotplug.h"
#include "resources/resource.h"
#include "base/log.h"
#include "base/process_token.h"
#include "shell/window/main_window.h"
#include "shell/window/menus.h"
#include "base/portable/ui_text.h"

namespace {
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
}

std::vector<std::wstring> ProgramArguments() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> args;
  for (int i = 1; argv != nullptr && i < count; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return args;
}

HWND FindRunningCopy() { return FindWindowW(TXT_APP_CLASS, TXT_APP_TITLE); }

bool RaiseRunningCopy() {
  HWND running = FindRunningCopy();
  if (running == nullptr) return false;
  ShowWindow(running, SW_RESTORE);
  ShowWindow(running, SW_SHOW);
  SetForegroundWindow(running);
  return true;
}

void StartLogging() {
  try {
    // Run elevated, a link under the log's name is not followed: the window then logs nowhere.
    if (!CreateLog(DEFAULT_LOG_FILE, RunsPrivileged() ? LogLinks::Refuse : LogLinks::Follow)) LogNowhere();
  } catch (const spdlog::spdlog_ex&) {
    MessageBoxW(nullptr, TXT_LOG_INIT_FAILED, TXT_TIP, MB_ICONQUESTION);
  }
}

OSVERSIONINFOEXW QueryWindowsVersion() {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll != nullptr) {
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(GetProcAddress(ntdll, "RtlGetVersion"));
    if (rtlGetVersion != nullptr) rtlGetVersion(&version);
  }
  return version;
}

void InitUiLibraries() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_LISTVIEW_CLASSES;
  InitCommonControlsEx(&controls);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSW windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWndProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = TXT_APP_CLASS;
  return RegisterClassW(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
  return CreateWindowExW(WS_EX_APPWINDOW, TXT_APP_CLASS, TXT_APP_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                         CW_USEDEFAULT, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
}

POINT CentredOrigin(int width, int height, int screenWidth, int screenHeight) {
  return POINT{(screenWidth - width) / 2, (screenHeight - height) / 2};
}

void CentreOnScreen(HWND window) {
  RECT frame{};
  GetWindowRect(window, &frame);
  const POINT origin = CentredOrigin(frame.right - frame.left, frame.bottom - frame.top,
                                     GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  SetWindowPos(window, nullptr, origin.x, origin.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

HWND BuildMainWindow(HINSTANCE instance) {
  InitUiLibraries();
  // A class left from an earlier window of this process serves as well.
  if (!RegisterMainWindowClass(instance) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
  HWND mainWindow = CreateMainWindow(instance);
  if (mainWindow == nullptr) {
    spdlog::error("CreateWindowExW failed {}", GetLastError());
    return nullptr;
  }
  CreateMainMenu(mainWindow);
  ShowDockListState(mainWindow, CreateListView(mainWindow));
  RegisterDeviceNotify(mainWindow);
  return mainWindow;
}

void ShowMainWindow(HWND window) {
  CentreOnScreen(window);
  ShowWindow(window, SW_SHOWDEFAULT);
  UpdateWindow(window);
}

int RunMessageLoop(HWND mainWindow) {
  // Destroyed with the process; a missing table only loses the shortcuts.
  HACCEL shortcuts = LoadAcceleratorsW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAIN_ACCEL));
  MSG message{};
  for (;;) {
    const BOOL result = GetMessageW(&message, nullptr, 0, 0);
    if (result == 0) return static_cast<int>(message.wParam);
    if (result == -1) {
      // message holds nothing valid then, so its wParam is no exit code.
      spdlog::error("GetMessageW failed {}", GetLastError());
      return EXIT_MESSAGE_LOOP_FAILED;
    }
    const bool forMainWindow = message.hwnd == mainWindow || IsChild(mainWindow, message.hwnd);
    if (shortcuts != nullptr && forMainWindow && TranslateAcceleratorW(mainWindow, shortcuts, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}
