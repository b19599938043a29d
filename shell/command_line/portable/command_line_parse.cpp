#include "shell/command_line/portable/command_line_parse.h"

#include <cwctype>
#include <iterator>
#include <map>

namespace {

enum class Switch { Info, Json, Update, Wait, Expect, Force, IgnorePower, Log, Sha256, Signer, Help };

struct SwitchSpec {
  Switch which;
  const wchar_t* name;  // lower case, without its '/' or '-'
};
constexpr SwitchSpec SWITCHES[] = {
    {Switch::Info, L"info"},     {Switch::Json, L"json"},   {Switch::Update, L"update"}, {Switch::Wait, L"wait"},
    {Switch::Expect, L"expect"}, {Switch::Force, L"force"}, {Switch::Log, L"log"},       {Switch::Sha256, L"sha256"},
    {Switch::IgnorePower, L"ignorepower"}, {Switch::Signer, L"signer"}, {Switch::Help, L"?"},
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

// 64 hex digits, given in lower case back.
bool ParseSha256(const std::wstring& text, std::wstring& sha256) {
  if (text.size() != 64) return false;
  sha256.clear();
  for (const wchar_t c : text) {
    if (!std::iswxdigit(c)) return false;
    sha256 += static_cast<wchar_t>(std::towlower(c));
  }
  return true;
}

// 40 hex digits, either case, with spaces between them as Windows shows a
// thumbprint; given back in upper case without spaces.
bool ParseThumbprint(const std::wstring& text, std::wstring& thumbprint) {
  thumbprint.clear();
  for (const wchar_t c : text) {
    if (c == L' ') continue;
    if (!std::iswxdigit(c) || c > 0x7F) return false;
    thumbprint += static_cast<wchar_t>(std::towupper(c));
  }
  return thumbprint.size() == 40;
}

constexpr int USAGE_COLUMN = 54;  // where the usage lines' descriptions begin

// "  <program> <arguments>" padded to the description's column; a line of its own when longer.
std::wstring UsageLine(const std::wstring& program, const std::wstring& arguments, const std::wstring& description) {
  std::wstring line = L"  " + program + (arguments.empty() ? L"" : L" " + arguments);
  if (line.size() < USAGE_COLUMN) {
    line.append(USAGE_COLUMN - line.size(), L' ');
  } else {
    line += L"\r\n" + std::wstring(USAGE_COLUMN, L' ');
  }
  return line + description + L"\r\n";
}

CommandRequest UsageError(const std::wstring& problem) {
  CommandRequest request;
  request.mode = CommandMode::UsageError;
  request.problem = problem;
  return request;
}

}  // namespace

std::optional<std::array<int, 4>> ParseFirmwareVersion(const std::wstring& text) {
  std::array<int, 4> numbers{};
  size_t part = 0;
  size_t digits = 0;
  for (const wchar_t c : text) {
    if (c == L'.') {
      if (digits == 0 || ++part == numbers.size()) return std::nullopt;
      digits = 0;
    } else if (c >= L'0' && c <= L'9' && digits < 3) {
      numbers[part] = numbers[part] * 10 + (c - L'0');
      if (numbers[part] > 255) return std::nullopt;
      ++digits;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || part != numbers.size() - 1) return std::nullopt;
  return numbers;
}

bool SameFirmwareVersion(const std::wstring& a, const std::wstring& b) {
  const auto first = ParseFirmwareVersion(a);
  const auto second = ParseFirmwareVersion(b);
  return first && second && *first == *second;
}

std::wstring CommandLineUsage(FrontEnd frontEnd) {
  const std::wstring program = frontEnd == FrontEnd::Window ? L"VarnockFWUpdate.exe" : L"VarnockFWUpdate-cli.exe";
  std::wstring text = L"Usage:\r\n";
  if (frontEnd == FrontEnd::Window) text += UsageLine(program, L"", L"open the window");
  text += UsageLine(program, L"/info [/json] [/log <file>]", L"print the dock's information");
  text += L"  " + program +
          L" /update <image> [/wait <seconds>] [/expect <version>] [/force] [/ignorepower] [/sha256 <hex>]\r\n" +
          std::wstring(USAGE_COLUMN - 24, L' ') + L"[/signer <thumbprint>] [/json] [/log <file>]\r\n" +
          std::wstring(USAGE_COLUMN, L' ') + L"update the dock's firmware\r\n";
  text += UsageLine(program, L"/?", L"this help");
  return text +
         L"/expect <version>: four numbers from 0 to 255 joined by dots; nothing is flashed when the dock\r\n"
         L"  already has it, and the update succeeds only when the dock reports it afterwards. /force: flash\r\n"
         L"  all the same, and accept an unchanged version once the dock has restarted or the wait is over.\r\n"
         L"/ignorepower: flash on a low battery too.\r\n"
         L"/sha256 <hex>: flash only an image with this SHA-256. /signer <thumbprint>: start only an updater\r\n"
         L"  whose valid signature's certificate has this SHA-1 thumbprint. /json (with /update): the result as one\r\n"
         L"  JSON object on standard output. /log <file>: append the log there, not to basic-log.txt.\r\n" +
         ExitCodesText();
}

namespace {

CommandRequest ParseArguments(const std::vector<std::wstring>& args) {
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
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1]) || args[i + 1].empty()) {
        return UsageError(L"/update needs an image file");
      }
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
      if (!ParseFirmwareVersion(request.expect)) {
        return UsageError(L"/expect takes four numbers from 0 to 255 joined by dots, such as 1.3.0.0, not \"" +
                          request.expect + L"\"");
      }
    } else if (name == Switch::Sha256) {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1])) return UsageError(L"/sha256 needs the image's SHA-256");
      if (!ParseSha256(args[++i], request.sha256)) return UsageError(L"/sha256 takes 64 hexadecimal digits");
    } else if (name == Switch::Signer) {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1])) {
        return UsageError(L"/signer needs the signing certificate's thumbprint");
      }
      if (!ParseThumbprint(args[++i], request.signer)) {
        return UsageError(L"/signer takes a SHA-1 thumbprint: 40 hexadecimal digits");
      }
    } else if (name == Switch::Log) {
      if (i + 1 >= args.size() || IsKnownSwitch(args[i + 1]) || args[i + 1].empty()) {
        return UsageError(L"/log needs a file");
      }
      request.logFile = args[++i];
    }
  }
  const bool info = given[Switch::Info], json = given[Switch::Json], update = given[Switch::Update],
             wait = given[Switch::Wait], expect = given[Switch::Expect], force = given[Switch::Force],
             log = given[Switch::Log], sha256 = given[Switch::Sha256], help = given[Switch::Help],
             ignorePower = given[Switch::IgnorePower], signer = given[Switch::Signer];
  request.force = force;
  request.ignorePower = ignorePower;
  if (help) {
    if (info || json || update || wait || expect || force || ignorePower || log || sha256 || signer) {
      return UsageError(L"/? stands alone");
    }
    request.mode = CommandMode::Help;
  } else if (info) {
    if (update || wait) return UsageError(L"/info and /update exclude each other");
    if (expect || force) return UsageError(expect ? L"/expect goes with /update only" : L"/force goes with /update only");
    if (ignorePower) return UsageError(L"/ignorepower goes with /update only");
    if (sha256) return UsageError(L"/sha256 goes with /update only");
    if (signer) return UsageError(L"/signer goes with /update only");
    request.mode = CommandMode::Info;
    request.json = json;
  } else if (update) {
    request.mode = CommandMode::Update;
    request.json = json;
  } else if (json) {
    return UsageError(L"/json goes with /info or /update");
  } else if (wait) {
    return UsageError(L"/wait goes with /update only");
  } else if (expect || force) {
    return UsageError(expect ? L"/expect goes with /update only" : L"/force goes with /update only");
  } else if (ignorePower) {
    return UsageError(L"/ignorepower goes with /update only");
  } else if (sha256) {
    return UsageError(L"/sha256 goes with /update only");
  } else if (signer) {
    return UsageError(L"/signer goes with /update only");
  } else {
    return UsageError(L"/log goes with /info or /update");
  }
  return request;
}

bool Given(const std::vector<std::wstring>& args, const wchar_t* name) {
  for (const std::wstring& arg : args) {
    if (SwitchName(arg) == name) return true;
  }
  return false;
}

}  // namespace

CommandRequest ParseCommandLine(const std::vector<std::wstring>& args) {
  CommandRequest request = ParseArguments(args);
  // A script that asked for the update's JSON result gets it for a usage error too.
  if (request.mode == CommandMode::UsageError) request.updateJson = Given(args, L"update") && Given(args, L"json");
  return request;
}
