#include "shell/command_line.h"

#include <cwctype>

const wchar_t COMMAND_LINE_USAGE[] =
    L"Usage:\r\n"
    L"  VarnockFWUpdate.exe                                 open the window\r\n"
    L"  VarnockFWUpdate.exe /info [/json] [/log <file>]     print the dock's information\r\n"
    L"  VarnockFWUpdate.exe /update <image> [/wait <seconds>] [/expect <version>] [/force] [/log <file>]\r\n"
    L"                                                      update the dock's firmware\r\n"
    L"  VarnockFWUpdate.exe /?                              this help\r\n"
    L"/expect <version>: nothing is flashed when the dock already has it, and the update\r\n"
    L"  succeeds only when the dock reports it afterwards. /force: flash all the same, and\r\n"
    L"  accept an unchanged version. /log <file>: append the log there, not to basic-log.txt.\r\n"
    L"Exit codes: 0 success, 1 update failed, 2 usage error, 3 no dock, 4 dock cannot be opened,\r\n"
    L"5 updater tool missing, 6 image refused, 7 a firmware update is running (or its updater is still alive),\r\n"
    L"8 updater could not be started, 9 the dock did not come back in time,\r\n"
    L"10 the dock does not report the new version, 11 the USB library could not be initialised.\r\n";

namespace {

// The switch's name in lower case without its '/' or '-'; empty for a plain argument.
std::wstring SwitchName(const std::wstring& arg) {
  if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return {};
  std::wstring name = arg.substr(1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
  return name;
}

bool IsKnownSwitch(const std::wstring& arg) {
  const std::wstring name = SwitchName(arg);
  return name == L"info" || name == L"json" || name == L"update" || name == L"wait" || name == L"expect" ||
         name == L"force" || name == L"log" || name == L"?";
}

// Whole seconds from 0 to MAX_DOCK_WAIT_SECONDS, digits only.
bool ParseSeconds(const std::wstring& text, int& seconds) {
  if (text.empty() || text.size() > 6) return false;
  long value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + (c - L'0');
  }
  if (value > MAX_DOCK_WAIT_SECONDS) return false;
  seconds = static_cast<int>(value);
  return true;
}

CommandRequest UsageError(const std::wstring& problem) {
  CommandRequest request;
  request.mode = CommandMode::UsageError;
  request.problem = problem;
  return request;
}

}  // namespace

CommandRequest ParseCommandLine(const std::vector<std::wstring>& args) {
  CommandRequest request;
  if (args.empty()) return request;
  bool info = false, json = false, update = false, wait = false, help = false, expect = false, force = false,
       log = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring name = SwitchName(args[i]);
    bool* seen = name == L"info" ? &info : name == L"json" ? &json : name == L"update" ? &update
               : name == L"wait" ? &wait : name == L"expect" ? &expect : name == L"force" ? &force
               : name == L"log" ? &log : name == L"?" ? &help : nullptr;
    if (seen == nullptr) {
      return UsageError(name.empty() ? L"unexpected argument \"" + args[i] + L"\"" : L"unknown switch " + args[i]);
    }
    if (*seen) return UsageError(L"switch " + args[i] + L" given twice");
    *seen = true;
    if (name == L"update") {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1])) return UsageError(L"/update needs an image file");
      request.image = args[++i];
    } else if (name == L"wait") {
      if (i + 1 >= args.size()) return UsageError(L"/wait needs a number of seconds");
      if (!ParseSeconds(args[++i], request.waitSeconds)) {
        return UsageError(L"/wait takes whole seconds from 0 to " + std::to_wstring(MAX_DOCK_WAIT_SECONDS));
      }
    } else if (name == L"expect") {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1]) || args[i + 1].empty()) {
        return UsageError(L"/expect needs a version");
      }
      request.expect = args[++i];
    } else if (name == L"log") {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1]) || args[i + 1].empty()) {
        return UsageError(L"/log needs a file");
      }
      request.logFile = args[++i];
    }
  }
  request.force = force;
  if (help) {
    if (info || json || update || wait || expect || force || log) return UsageError(L"/? stands alone");
    request.mode = CommandMode::Help;
  } else if (info) {
    if (update || wait) return UsageError(L"/info and /update exclude each other");
    if (expect || force) return UsageError(expect ? L"/expect goes with /update only" : L"/force goes with /update only");
    request.mode = CommandMode::Info;
    request.json = json;
  } else if (update) {
    if (json) return UsageError(L"/json goes with /info only");
    request.mode = CommandMode::Update;
  } else if (json) {
    return UsageError(L"/json goes with /info only");
  } else if (wait) {
    return UsageError(L"/wait goes with /update only");
  } else if (expect || force) {
    return UsageError(expect ? L"/expect goes with /update only" : L"/force goes with /update only");
  } else {
    return UsageError(L"/log goes with /info or /update");
  }
  return request;
}
