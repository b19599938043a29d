// Times RefreshDeviceList (empty the list, repaint, query the dock, append
// its row) in a real main window with the simulated dock, as File > Refresh
// runs it, and the dock query alone. Logs to basic-log.txt in the working
// directory like the program.
//   bench_refresh [ITERATIONS]
//   bench_refresh steps      the program's start-up steps one by one, timed,
//                            with the dock from the state file as in the demo
#include <windows.h>

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "docks/dock_query.h"
#include "bench/bench_clock.h"
#include "shell/window/device_list.h"
#include "shell/window/hotplug.h"
#include "resources/resource.h"
#include "shell/window/main_window.h"
#include "shell/window/menus.h"
#include "shell/window/startup.h"
#include "standins/sim_dock/sim_dock.h"

namespace {

double Now() { return 1e6 * CounterSeconds(); }

void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Runs the step `iterations` times; prints median, mean and 95th percentile in microseconds.
void Measure(const char* name, int iterations, const std::function<void()>& step) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(iterations));
  for (int i = 0; i < iterations; ++i) {
    const double start = Now();
    step();
    us.push_back(Now() - start);
  }
  double sum = 0;
  for (double v : us) sum += v;
  std::sort(us.begin(), us.end());
  std::printf("{\"case\":\"%s\",\"iterations\":%d,\"median_us\":%.1f,\"mean_us\":%.1f,\"p95_us\":%.1f,\"max_us\":%.1f}\n",
              name, iterations, us[us.size() / 2], sum / static_cast<double>(us.size()),
              us[us.size() * 95 / 100], us.back());
}

double SinceProcessStartUs() {
  FILETIME created, exited, kernel, user, now;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetSystemTimePreciseAsFileTime(&now);
  auto ticks = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(now) - ticks(created)) / 10.0;
}

// Start-up in wWinMain's order, each step timed.
int Steps() {
  const double beforeMain = SinceProcessStartUs();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND mainWindow = nullptr;
  std::printf("{\"step\":\"process start to wmain\",\"us\":%.0f}\n", beforeMain);
  const std::pair<const char*, std::function<void()>> steps[] = {
      {"RaiseRunningCopy", [] { RaiseRunningCopy(); }},
      {"StartLogging", [] { StartLogging(); }},
      {"QueryWindowsVersion", [] { QueryWindowsVersion(); }},
      {"libusb_init", [] { libusb_init(nullptr); }},
      {"BuildMainWindow", [&] { mainWindow = BuildMainWindow(instance); }},
      {"ShowMainWindow", [&] { ShowMainWindow(mainWindow); }},
      {"first pump", [] { Pump(); }},
  };
  double total = 0;
  for (const auto& [name, step] : steps) {
    const double start = Now();
    step();
    const double us = Now() - start;
    total += us;
    std::printf("{\"step\":\"%s\",\"us\":%.0f}\n", name, us);
  }
  std::printf("{\"step\":\"wmain to shown\",\"us\":%.0f}\n", total);
  const bool filled = ListRowCount(DeviceListWindow()) == 1;
  DestroyWindow(mainWindow);
  return filled ? 0 : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"steps") return Steps();
  const int iterations = argc > 1 ? std::max(10, _wtoi(argv[1])) : 2000;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  SimDockSet(SimDockState{});  // in memory: what is measured is the program's own path
  StartLogging();
  if (libusb_init(nullptr) < 0) return 1;
  HWND mainWindow = BuildMainWindow(instance);
  if (mainWindow == nullptr) return 1;
  ShowMainWindow(mainWindow);
  Pump();
  if (ListRowCount(DeviceListWindow()) != 1) {
    std::fprintf(stderr, "the simulated dock did not show\n");
    return 2;
  }

  Measure("QueryDock", iterations, [] { QueryDock(); });
  Measure("RefreshDeviceList", iterations, [] { RefreshDeviceList(); });
  // With the repaint of the refilled list that follows in the message loop.
  Measure("RefreshDeviceList+paint", iterations, [] {
    RefreshDeviceList();
    UpdateWindow(DeviceListWindow());
    Pump();
  });
  if (ListRowCount(DeviceListWindow()) != 1) return 3;
  DestroyWindow(mainWindow);
  return 0;
}
