// The argument parser: any argument vector either parses into a request
// whose switches keep every rule of the usage text, or is a usage error with
// its problem said; never both. The input is the arguments, one per line,
// each byte one character.
#include <algorithm>
#include <array>
#include <cwctype>
#include <map>

#include "fuzz/fuzz_support.h"
#include "shell/command_line/portable/command_line_parse.h"

namespace {

using fuzz::Require;

// The switches as the usage text names them, and which take a value.
struct KnownSwitch {
  const wchar_t* name;
  bool takesValue;
};
constexpr KnownSwitch USAGE_SWITCHES[] = {
    {L"info", false},  {L"json", false},   {L"update", true}, {L"wait", true},        {L"expect", true},
    {L"force", false}, {L"log", true},     {L"sha256", true}, {L"ignorepower", false}, {L"?", false},
};

// The switch an argument names ('/' or '-', any case), or empty.
std::wstring NamedSwitch(const std::wstring& arg) {
  if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-')) return {};
  std::wstring name;
  for (size_t i = 1; i < arg.size(); ++i) {
    const wchar_t c = arg[i];
    name += c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  }
  for (const KnownSwitch& known : USAGE_SWITCHES) {
    if (name == known.name) return name;
  }
  return {};
}

// Four numbers from 0 to 255 of one to three digits, joined by dots.
bool IsVersion(const std::wstring& text) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    size_t digits = 0;
    int value = 0;
    while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && digits < 4) {
      value = value * 10 + (text[at] - L'0');
      ++at, ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    if (++parts == 4) return at == text.size();
    if (at >= text.size() || text[at] != L'.') return false;
    ++at;
  }
}

bool IsLowerHex64(const std::wstring& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
         });
}

bool SameRequest(const CommandRequest& a, const CommandRequest& b) {
  return a.mode == b.mode && a.json == b.json && a.image == b.image && a.waitSeconds == b.waitSeconds &&
         a.expect == b.expect && a.force == b.force && a.ignorePower == b.ignorePower && a.sha256 == b.sha256 &&
         a.logFile == b.logFile && a.problem.empty() == b.problem.empty();
}

// The request written back as arguments, the usage text's way.
std::vector<std::wstring> CanonicalArguments(const CommandRequest& request) {
  std::vector<std::wstring> args;
  if (request.mode == CommandMode::Help) return {L"/?"};
  if (request.mode == CommandMode::Info) args = {L"/info"};
  if (request.mode == CommandMode::Update) {
    args = {L"/update", request.image};
    if (request.waitSeconds != DEFAULT_DOCK_WAIT_SECONDS) {
      args.insert(args.end(), {L"/wait", std::to_wstring(request.waitSeconds)});
    }
    if (!request.expect.empty()) args.insert(args.end(), {L"/expect", request.expect});
    if (request.force) args.push_back(L"/force");
    if (request.ignorePower) args.push_back(L"/ignorepower");
    if (!request.sha256.empty()) args.insert(args.end(), {L"/sha256", request.sha256});
  }
  if (request.json) args.push_back(L"/json");
  if (!request.logFile.empty()) args.insert(args.end(), {L"/log", request.logFile});
  return args;
}

// The same arguments with every switch in upper case and its '/' and '-' swapped.
std::vector<std::wstring> SwitchesRewritten(std::vector<std::wstring> args) {
  for (std::wstring& arg : args) {
    if (NamedSwitch(arg).empty()) continue;
    arg[0] = arg[0] == L'/' ? L'-' : L'/';
    for (size_t i = 1; i < arg.size(); ++i) {
      if (arg[i] >= L'a' && arg[i] <= L'z') arg[i] = static_cast<wchar_t>(arg[i] - L'a' + L'A');
    }
  }
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::vector<std::wstring> args;
  if (size > 0) {
    for (const std::string_view piece : fuzz::SplitAt(fuzz::Bytes(data, size), '\n')) {
      std::wstring arg;
      for (const char c : piece) arg += static_cast<wchar_t>(static_cast<std::uint8_t>(c));
      args.push_back(arg);
    }
  }
  const CommandRequest request = ParseCommandLine(args);

  std::map<std::wstring, int> given;  // switch occurrences, by name
  for (const std::wstring& arg : args) {
    const std::wstring name = NamedSwitch(arg);
    if (!name.empty()) ++given[name];
  }
  auto has = [&](const wchar_t* name) { return given.count(name) != 0; };
  bool namesUpdate = false, namesJson = false;  // as a switch or as any argument
  for (const std::wstring& arg : args) {
    namesUpdate |= NamedSwitch(arg) == L"update";
    namesJson |= NamedSwitch(arg) == L"json";
  }

  if (request.mode == CommandMode::UsageError) {
    Require(!request.problem.empty(), "a usage error says what was wrong");
    Require(request.image.empty() && request.expect.empty() && request.sha256.empty() && request.logFile.empty() &&
                !request.json,
            "a usage error carries no request");
    Require(request.updateJson == (namesUpdate && namesJson), "a usage error answers in JSON when /update /json asked");
    return 0;
  }
  Require(request.problem.empty(), "a parsed request has no problem");
  Require(!request.updateJson, "only a usage error needs the JSON flag");
  Require((request.mode == CommandMode::Window) == args.empty(), "the window only without arguments");
  for (const auto& [name, count] : given) Require(count == 1, "no switch given twice");
  // In a request that parsed, every argument that looks like a switch is one:
  // no switch's value may be a switch.
  size_t values = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring name = NamedSwitch(args[i]);
    Require(!name.empty() || i > 0, "the first argument is a switch");
    if (name.empty()) {
      const std::wstring before = i > 0 ? NamedSwitch(args[i - 1]) : L"";
      const auto known = std::find_if(std::begin(USAGE_SWITCHES), std::end(USAGE_SWITCHES),
                                      [&](const KnownSwitch& s) { return before == s.name; });
      Require(known != std::end(USAGE_SWITCHES) && known->takesValue, "a plain argument follows a switch that takes it");
      ++values;
    }
  }
  Require(given.size() + values == args.size(), "every argument is a switch or its value");

  switch (request.mode) {
    case CommandMode::Window:
      break;
    case CommandMode::Help:
      Require(args.size() == 1 && has(L"?"), "/? stands alone");
      break;
    case CommandMode::Info:
      Require(has(L"info"), "/info was given");
      Require(!has(L"update") && !has(L"wait") && !has(L"expect") && !has(L"force") && !has(L"ignorepower") &&
                  !has(L"sha256") && !has(L"?"),
              "/info takes no switch of /update's");
      Require(request.image.empty() && request.expect.empty() && request.sha256.empty() && !request.force &&
                  !request.ignorePower && request.waitSeconds == DEFAULT_DOCK_WAIT_SECONDS,
              "/info's request holds nothing of /update's");
      break;
    case CommandMode::Update:
      Require(has(L"update") && !has(L"info") && !has(L"?"), "/update was given, without /info or /?");
      Require(!request.image.empty() && NamedSwitch(request.image).empty(), "/update names an image");
      Require(request.expect.empty() || IsVersion(request.expect), "/expect is four numbers from 0 to 255");
      Require(request.sha256.empty() || IsLowerHex64(request.sha256), "/sha256 is 64 hex digits in lower case");
      Require(request.waitSeconds >= 0 && request.waitSeconds <= MAX_DOCK_WAIT_SECONDS, "/wait within its range");
      Require(request.waitSeconds == DEFAULT_DOCK_WAIT_SECONDS || has(L"wait"), "/wait changes the wait only");
      Require(request.expect.empty() != has(L"expect"), "/expect given is /expect kept");
      Require(request.sha256.empty() != has(L"sha256"), "/sha256 given is /sha256 kept");
      Require(request.force == has(L"force") && request.ignorePower == has(L"ignorepower"), "flags as given");
      break;
    case CommandMode::UsageError:
      break;
  }
  if (request.mode == CommandMode::Info || request.mode == CommandMode::Update) {
    Require(request.json == has(L"json"), "/json given is /json kept");
    Require(request.logFile.empty() != has(L"log"), "/log given is /log kept");
  } else {
    Require(!has(L"json") && !has(L"log"), "/json and /log go with /info or /update");
  }
  // The same request written the usage text's way, or with its switches
  // spelled otherwise, parses to the same request.
  Require(SameRequest(ParseCommandLine(CanonicalArguments(request)), request), "the request written back parses the same");
  Require(SameRequest(ParseCommandLine(SwitchesRewritten(args)), request), "switches in any case and either prefix");
  return 0;
}
