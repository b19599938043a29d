#pragma once
// The unattended command line for scripts, and the exit codes they rely on.
// Portable: parsing and texts only.
#include <string>
#include <vector>

enum class CommandMode {
  Window,      // no arguments: the program as a user starts it
  Info,        // /info [/json]
  Update,      // /update <image> [/wait <seconds>] [/expect <version>] [/force]
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
  std::wstring logFile;  // /log: appended to instead of basic-log.txt; empty: the default
  std::wstring problem;  // UsageError: what was wrong
};

// Exit codes of the command-line modes.
enum ExitCode : int {
  EXIT_SUCCESS_CODE = 0,       // the dock answered (after the update, with its new firmware)
  EXIT_UPDATE_FAILED = 1,      // the updater reported failure
  EXIT_USAGE = 2,              // unknown switch, missing or extra argument
  EXIT_NO_DOCK = 3,            // no dock on the bus
  EXIT_DOCK_UNOPENABLE = 4,    // a dock is on the bus but cannot be opened
  EXIT_TOOL_MISSING = 5,       // the updater tool is not beside the program
  EXIT_IMAGE_REFUSED = 6,      // unreadable, shorter than 1024 bytes, or no "FWCT"
  EXIT_BUSY = 7,               // a firmware update is running (or its updater is still alive)
  EXIT_TOOL_NOT_STARTED = 8,   // CreateProcess failed, or the command line is too long
  EXIT_DOCK_DID_NOT_RETURN = 9,  // success reported, but the dock did not answer within the wait
  EXIT_VERSION_UNCHANGED = 10,   // success reported, but the dock answered without the new version
  EXIT_USB_UNAVAILABLE = 11,     // the USB library could not be initialised
};

// The arguments after the program's own name. Switches start with '/' or '-'
// and are case-insensitive.
CommandRequest ParseCommandLine(const std::vector<std::wstring>& args);

// The text printed for /? and after a usage error.
extern const wchar_t COMMAND_LINE_USAGE[];
