#include "shell/command_line_parse.h"

#include <cwctype>
#include <iterator>
#include <map>

namespace {

enum class Switch { Info, Json, Update, Wait, Expect, Force, IgnorePower, Log, Help };

struct SwitchSpec {
  Switch which;
  const wchar_t* name;  // lower case, without its '/' or '-'
};
constexpr SwitchSpec SWITCHES[] = {
    {Switch::Info, L"info"},     {Switch::Json, L"json"},   {Switch::Update, L"update"}, {Switch::Wait, L"wait"},
    {Switch::Expect, L"expect"}, {Switch::Force, L"force"}, {Switch::Log, L"log"},       {Switch::Help, L"?"},
    {Switch::IgnorePower, L"ignorepower"},
};

std::wstring ExitCodesText() {
  std::wstring text = L"Exit codes: ";
  for (const ExitCodeMeaning& exit : EXIT_CODE_MEANINGS) {
    text += std::to_wstring(exit.code) + L" " + exit.meaning;
    if (&exit == &EXIT_CODE_MEANINGS[std::size(EXIT_CODE_MEANINGS) - 1]) {
      text += L".\r\n";
    } else {
      text += exit.lineBreakAfter ? L",\r\n" : L", ";
    }
  }
  return text;
}

// The switch's name in lower case without its '/' or '-'; empty for a plain argument.
std::wstring SwitchName(const std::wstring& arg) {
  if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return {};
  std::wstring name = arg.substr(1);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
  return name;
}

const SwitchSpec* FindSwitch(const std::wstring& arg) {
  const std::wstring name = SwitchName(arg);
  for (const SwitchSpec& spec : SWITCHES) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

bool IsKnownSwitch(const std::wstring& arg) { return FindSwitch(arg) != nullptr; }

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

const std::wstring COMMAND_LINE_USAGE =
    L"Usage:\r\n"
    L"  VarnockFWUpdate.exe                                 open the window\r\n"
    L"  VarnockFWUpdate.exe /info [/json] [/log <file>]     print the dock's information\r\n"
    L"  VarnockFWUpdate.exe /update <image> [/wait <seconds>] [/expect <version>] [/force] [/ignorepower]\r\n"
    L"                      [/log <file>]\r\n"
    L"                                                      update the dock's firmware\r\n"
    L"  VarnockFWUpdate.exe /?                              this help\r\n"
    L"/expect <version>: nothing is flashed when the dock already has it, and the update\r\n"
    L"  succeeds only when the dock reports it afterwards. /force: flash all the same, and\r\n"
    L"  accept an unchanged version. /ignorepower: flash on a low battery too.\r\n"
    L"/log <file>: append the log there, not to basic-log.txt.\r\n" +
    ExitCodesText();

CommandRequest ParseCommandLine(const std::vector<std::wstring>& args) {
  CommandRequest request;
  if (args.empty()) return request;
  std::map<Switch, bool> given;
  for (size_t i = 0; i < args.size(); ++i) {
    const SwitchSpec* spec = FindSwitch(args[i]);
    if (spec == nullptr) {
      return UsageError(SwitchName(args[i]).empty() ? L"unexpected argument \"" + args[i] + L"\""
                                                    : L"unknown switch " + args[i]);
    }
    if (given[spec->which]) return UsageError(L"switch " + args[i] + L" given twice");
    given[spec->which] = true;
    const Switch name = spec->which;
    if (name == Switch::Update) {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1])) return UsageError(L"/update needs an image file");
      request.image = args[++i];
    } else if (name == Switch::Wait) {
      if (i + 1 >= args.size()) return UsageError(L"/wait needs a number of seconds");
      if (!ParseSeconds(args[++i], request.waitSeconds)) {
        return UsageError(L"/wait takes whole seconds from 0 to " + std::to_wstring(MAX_DOCK_WAIT_SECONDS));
      }
    } else if (name == Switch::Expect) {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1]) || args[i + 1].empty()) {
        return UsageError(L"/expect needs a version");
      }
      request.expect = args[++i];
    } else if (name == Switch::Log) {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1]) || args[i + 1].empty()) {
        return UsageError(L"/log needs a file");
      }
      request.logFile = args[++i];
    }
  }
  const bool info = given[Switch::Info], json = given[Switch::Json], update = given[Switch::Update],
             wait = given[Switch::Wait], expect = given[Switch::Expect], force = given[Switch::Force],
             log = given[Switch::Log], help = given[Switch::Help], ignorePower = given[Switch::IgnorePower];
  request.force = force;
  request.ignorePower = ignorePower;
  if (help) {
    if (info || json || update || wait || expect || force || ignorePower || log) return UsageError(L"/? stands alone");
    request.mode = CommandMode::Help;
  } else if (info) {
    if (update || wait) return UsageError(L"/info and /update exclude each other");
    if (expect || force) return UsageError(expect ? L"/expect goes with /update only" : L"/force goes with /update only");
    if (ignorePower) return UsageError(L"/ignorepower goes with /update only");
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
  } else if (ignorePower) {
    return UsageError(L"/ignorepower goes with /update only");
  } else {
    return UsageError(L"/log goes with /info or /update");
  }
  return request;
}
