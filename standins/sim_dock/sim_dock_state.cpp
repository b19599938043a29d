#include "standins/sim_dock/sim_dock.h"

#include <windows.h>

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

}  // namespace

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
    else if (key == "open_error") state.openError = std::atoi(value.c_str());
    else if (key == "offline_until") state.offlineUntil = std::strtoull(value.c_str(), nullptr, 10);
    else if (key == "firmware") {
      unsigned a = 0, b = 0, c = 0, d = 0;
      if (std::sscanf(value.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
        state.firmware[0] = static_cast<std::uint8_t>(a);
        state.firmware[1] = static_cast<std::uint8_t>(b);
        state.firmware[2] = static_cast<std::uint8_t>(c);
        state.firmware[3] = static_cast<std::uint8_t>(d);
      }
    }
  }
  return true;
}

bool SaveSimDockState(const std::wstring& path, const SimDockState& state) {
  std::ostringstream text;
  text << "present=" << (state.present ? 1 : 0) << "\n"
       << "vendor=" << state.vendor << "\n"
       << "product=" << state.product << "\n"
       << "serial=" << state.serial << "\n"
       << "firmware=" << unsigned{state.firmware[0]} << "." << unsigned{state.firmware[1]} << "."
       << unsigned{state.firmware[2]} << "." << unsigned{state.firmware[3]} << "\n"
       << "control_result=" << state.controlResult << "\n"
       << "reply_length=" << state.replyLength << "\n";
  if (state.openError != 0) text << "open_error=" << state.openError << "\n";
  if (state.offlineUntil != 0) text << "offline_until=" << state.offlineUntil << "\n";
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

