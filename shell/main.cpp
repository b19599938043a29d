// Entry point of VarnockFWUpdate: start-up in a fixed order, then the message loop.
#include <windows.h>

#include <libusb.h>

#include <spdlog/spdlog.h>

#include "docks/device_list.h"
#include "docks/hotplug.h"
#include "shell/menus.h"
#include "shell/startup.h"
#include "shell/unattended.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // With arguments the program runs unattended for scripts; without, as always.
  const CommandRequest request = ParseCommandLine(ProgramArguments());
  if (request.mode != CommandMode::Window) return RunUnattended(request);
  if (RaiseRunningCopy()) return 0;
  StartLogging();
  const OSVERSIONINFOEXW version = QueryWindowsVersion();
  spdlog::info("program start...");
  spdlog::info("Windows version: {0}.{1} (Build {2})", version.dwMajorVersion, version.dwMinorVersion,
               version.dwBuildNumber);
  const int usbResult = libusb_init(nullptr);
  if (usbResult < 0) {
    spdlog::info("libusb_init failed {}", usbResult);
    return 1;
  }
  InitUiLibraries();
  if (!RegisterMainWindowClass(instance)) return 1;
  HWND mainWindow = CreateMainWindow(instance);
  if (mainWindow == nullptr) {
    spdlog::error("CreateWindowExW failed {}", GetLastError());
    return 1;
  }
  CreateMainMenu(mainWindow);
  CreateListView(mainWindow);
  RegisterDeviceNotify(mainWindow);
  CentreOnScreen(mainWindow);
  ShowWindow(mainWindow, SW_SHOWDEFAULT);
  UpdateWindow(mainWindow);
  return RunMessageLoop();
}
