#pragma once
// The unattended command line for scripts, and the exit codes they rely on.
// Portable: parsing and texts only.
#include <string>
#include <vector>

enum class CommandMode {
  Window,      // no arguments: the program as a user starts it
  Info,        // /info [/json]
  Update,      // /update <image> [/wait <seconds>] [/expect <version>] [/force] [/ignorepower]
  Help,        // /?
  UsageError,  // anything else
};

inline constexpr int DEFAULT_DOCK_WAIT_SECONDS = 60;
inline constexpr int MAX_DOCK_WAIT_SECONDS = 24 * 60 * 60;

struct CommandRequest {
  CommandMode mode = CommandMode::Window;
  bool json = false;
  std::wstring image;
  int waitSeconds = DEFAULT_DOCK_WAIT_SECONDS;
  std::wstring expect;   // /expect: the version the dock must end with
  bool force = false;    // /force: flash even when the dock has it already
  bool ignorePower = false;  // /ignorepower: flash whatever the battery
  std::wstring logFile;  // /log: appended to instead of basic-log.txt; empty: the default
  std::wstring problem;  // UsageError: what was wrong
};

// Exit codes of the command-line modes; what each means is written once, in
// EXIT_CODE_MEANINGS, which the usage text is made from.
enum ExitCode : int {
  EXIT_SUCCESS_CODE = 0,
  EXIT_UPDATE_FAILED = 1,
  EXIT_USAGE = 2,
  EXIT_NO_DOCK = 3,
  EXIT_DOCK_UNOPENABLE = 4,
  EXIT_TOOL_MISSING = 5,
  EXIT_IMAGE_REFUSED = 6,
  EXIT_BUSY = 7,
  EXIT_TOOL_NOT_STARTED = 8,
  EXIT_DOCK_DID_NOT_RETURN = 9,
  EXIT_VERSION_UNCHANGED = 10,
  EXIT_USB_UNAVAILABLE = 11,
  EXIT_LOW_BATTERY = 12,
  EXIT_SEVERAL_DOCKS = 13,
  EXIT_UPDATER_CHANGEABLE = 15,
};

struct ExitCodeMeaning {
  ExitCode code;
  const wchar_t* meaning;
  bool lineBreakAfter;  // where the usage text starts a new line
};
inline constexpr ExitCodeMeaning EXIT_CODE_MEANINGS[] = {
    {EXIT_SUCCESS_CODE, L"success", false},
    {EXIT_UPDATE_FAILED, L"update failed", false},
    {EXIT_USAGE, L"usage error", false},
    {EXIT_NO_DOCK, L"no dock", false},
    {EXIT_DOCK_UNOPENABLE, L"dock cannot be opened", true},
    {EXIT_TOOL_MISSING, L"updater tool missing", false},
    {EXIT_IMAGE_REFUSED, L"image refused", false},
    {EXIT_BUSY, L"a firmware update is running (or its updater is still alive)", true},
    {EXIT_TOOL_NOT_STARTED, L"updater could not be started", false},
    {EXIT_DOCK_DID_NOT_RETURN, L"the dock did not come back in time", true},
    {EXIT_VERSION_UNCHANGED, L"the dock does not report the new version", false},
    {EXIT_USB_UNAVAILABLE, L"the USB library could not be initialised", true},
    {EXIT_LOW_BATTERY, L"the battery is too low to flash", false},
    {EXIT_SEVERAL_DOCKS, L"more than one dock is connected", true},
    {EXIT_UPDATER_CHANGEABLE, L"the updater can be changed by non-administrators", false},
};

// The arguments after the program's own name. Switches start with '/' or '-'
// and are case-insensitive.
CommandRequest ParseCommandLine(const std::vector<std::wstring>& args);

// The text printed for /? and after a usage error.
extern const std::wstring COMMAND_LINE_USAGE;
