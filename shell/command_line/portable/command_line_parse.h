#pragma once
// The unattended command line for scripts, and the exit codes they rely on.
// Portable: parsing and texts only.
#include <array>
#include <optional>
#include <string>
#include <vector>

enum class CommandMode {
  Window,      // no arguments: the program as a user starts it
  Info,        // /info [/json]
  Update,      // /update <image> [/wait <seconds>] [/expect <version>] [/force] [/ignorepower] [/sha256 <hex>]
               //   [/signer <thumbprint>] [/json]
  Help,        // /?
  UsageError,  // anything else
};

inline constexpr int DEFAULT_DOCK_WAIT_SECONDS = 60;
inline constexpr int MAX_DOCK_WAIT_SECONDS = 24 * 60 * 60;

struct CommandRequest {
  CommandMode mode = CommandMode::Window;
  bool json = false;     // /info: the dock as JSON; /update: the run's result as one JSON object
  std::wstring image;
  int waitSeconds = DEFAULT_DOCK_WAIT_SECONDS;
  std::wstring expect;   // /expect: the version the dock must end with (four numbers 0-255, dotted)
  bool force = false;    // /force: flash even when the dock has it already
  bool ignorePower = false;  // /ignorepower: flash whatever the battery
  std::wstring sha256;   // /sha256: the image's SHA-256, 64 hex digits in lower case
  std::wstring signer;   // /signer: the updater's signing certificate's SHA-1, 40 hex digits in upper case
  std::wstring logFile;  // /log: appended to instead of basic-log.txt; empty: the default
  std::wstring problem;  // UsageError: what was wrong
  bool updateJson = false;  // UsageError: /update and /json were among the arguments
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
  EXIT_INTERNAL_ERROR = 14,
  EXIT_UPDATER_CHANGEABLE = 15,
  EXIT_UPDATER_NOT_SIGNED = 16,
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
    {EXIT_INTERNAL_ERROR, L"internal error", false},
    {EXIT_UPDATER_CHANGEABLE, L"the updater can be changed by non-administrators", true},
    {EXIT_UPDATER_NOT_SIGNED, L"the updater is not signed by the /signer certificate", false},
};

// The arguments after the program's own name. Switches start with '/' or '-'
// and are case-insensitive.
CommandRequest ParseCommandLine(const std::vector<std::wstring>& args);

// The two programs that take this command line.
enum class FrontEnd {
  Window,   // VarnockFWUpdate.exe: without arguments it opens the window
  Console,  // VarnockFWUpdate-cli.exe, the console twin
};

// The text printed for /? and after a usage error, naming the program's own file.
std::wstring CommandLineUsage(FrontEnd frontEnd);

// A firmware version as /expect takes it and the dock reports it: four
// numbers from 0 to 255 joined by dots. Nothing for any other text.
std::optional<std::array<int, 4>> ParseFirmwareVersion(const std::wstring& text);
// Both are versions and name the same numbers ("1.03.0.0" is "1.3.0.0").
bool SameFirmwareVersion(const std::wstring& a, const std::wstring& b);
