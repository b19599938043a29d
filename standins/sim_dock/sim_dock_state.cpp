#include "standins/sim_dock/sim_dock.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool ParseFirmware(const std::string& text, std::uint8_t (&firmware)[4]) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
  firmware[0] = static_cast<std::uint8_t>(a);
  firmware[1] = static_cast<std::uint8_t>(b);
  firmware[2] = static_cast<std::uint8_t>(c);
  firmware[3] = static_cast<std::uint8_t>(d);
  return true;
}

std::string FirmwareText(const std::uint8_t (&firmware)[4]) {
  return std::to_string(firmware[0]) + "." + std::to_string(firmware[1]) + "." + std::to_string(firmware[2]) + "." +
         std::to_string(firmware[3]);
}

}  // namespace

SimDockState SimDockNumber(const SimDockState& state, int index) {
  SimDockState dock = state;
  if (index == 0) return dock;
  dock.serial = !state.serial2.empty() ? state.serial2 : state.serial + "-" + std::to_string(index + 1);
  if (state.hasFirmware2) std::copy(state.firmware2, state.firmware2 + 4, dock.firmware);
  dock.openError = 0;  // only the first dock refuses to open
  return dock;
}

std::uint64_t SimDockNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

std::wstring SimDockStatePath() {
  wchar_t fromEnv[1024] = {};
  if (GetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", fromEnv, 1024) > 0) return fromEnv;
  wchar_t module[1024] = {};
  GetModuleFileNameW(nullptr, module, 1024);
  std::wstring path = module;
  const size_t separator = path.find_last_of(L"\\/");
  return path.substr(0, separator + 1) + L"sim-dock.ini";
}

bool LoadSimDockState(const std::wstring& path, SimDockState& state) {
  std::ifstream file(path.c_str());
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    if (key == "present") state.present = value == "1";
    else if (key == "vendor") state.vendor = value;
    else if (key == "product") state.product = value;
    else if (key == "serial") state.serial = value;
    else if (key == "control_result") state.controlResult = std::atoi(value.c_str());
    else if (key == "reply_length") state.replyLength = std::atoi(value.c_str());
    else if (key == "init_result") state.initResult = std::atoi(value.c_str());
    else if (key == "init_throws") state.initThrows = value == "1";
    else if (key == "init_crashes") state.initCrashes = value == "1";
    else if (key == "list_gate") state.listGate = value;
    else if (key == "open_error") state.openError = std::atoi(value.c_str());
    else if (key == "offline_until") state.offlineUntil = std::strtoull(value.c_str(), nullptr, 10);
    else if (key == "unopenable_until") state.unopenableUntil = std::strtoull(value.c_str(), nullptr, 10);
    else if (key == "offline_looks") state.offlineLooks = std::atoi(value.c_str());
    else if (key == "count") state.count = std::atoi(value.c_str());
    else if (key == "serial2") state.serial2 = value;
    else if (key == "ac") state.acLine = static_cast<std::uint8_t>(std::atoi(value.c_str()));
    else if (key == "battery") state.batteryPercent = static_cast<std::uint8_t>(std::atoi(value.c_str()));
    else if (key == "firmware") ParseFirmware(value, state.firmware);
    else if (key == "firmware2") state.hasFirmware2 = ParseFirmware(value, state.firmware2);
  }
  return true;
}

bool SaveSimDockState(const std::wstring& path, const SimDockState& state) {
  std::ostringstream text;
  text << "present=" << (state.present ? 1 : 0) << "\n"
       << "vendor=" << state.vendor << "\n"
       << "product=" << state.product << "\n"
       << "serial=" << state.serial << "\n"
       << "firmware=" << FirmwareText(state.firmware) << "\n"
       << "control_result=" << state.controlResult << "\n"
       << "reply_length=" << state.replyLength << "\n";
  if (state.openError != 0) text << "open_error=" << state.openError << "\n";
  if (state.offlineUntil != 0) text << "offline_until=" << state.offlineUntil << "\n";
  if (state.unopenableUntil != 0) text << "unopenable_until=" << state.unopenableUntil << "\n";
  if (state.offlineLooks != 0) text << "offline_looks=" << state.offlineLooks << "\n";
  text << "count=" << state.count << "\n"
       << "ac=" << unsigned{state.acLine} << "\n"
       << "battery=" << unsigned{state.batteryPercent} << "\n";
  if (!state.serial2.empty()) text << "serial2=" << state.serial2 << "\n";
  if (state.hasFirmware2) text << "firmware2=" << FirmwareText(state.firmware2) << "\n";
  // Write a new file and move it over the old one, so a reader never sees half a state.
  const std::wstring temporary = path + L".new";
  {
    std::ofstream file(temporary.c_str(), std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file << text.str();
    if (!file.flush()) return false;
  }
  return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

