#pragma once
// Running the updater tool as a hidden child process and reading its output
// through one pipe: the core shared by the window's update worker and the
// command line. It logs every step; what the user is told is the caller's.
#include <windows.h>

#include <functional>
#include <string>

inline constexpr DWORD OUTPUT_BUFFER_SIZE = 5120;
inline constexpr DWORD OUTPUT_READ_SIZE = OUTPUT_BUFFER_SIZE - 1;  // room for a NUL after each block
// Once the tool has ended, how long a pending read may still take to bring
// what the tool wrote last before the rest is taken as held by someone else.
inline constexpr DWORD OUTPUT_GRACE_MS = 200;
// How often a silent tool is reported to the caller while the tool runs.
inline constexpr DWORD OUTPUT_QUIET_TICK_MS = 100;

// How far a run got.
enum class UpdaterStage {
  CommandLineTooLong,  // refused before anything started
  PipeFailed,          // CreatePipe
  HandleFailed,        // SetHandleInformation
  HandleListFailed,    // the list of handles the child may inherit could not be made
  StartFailed,         // CreateProcessW
  Finished,            // the tool ran to its end and its output was read
};

struct UpdaterRun {
  UpdaterStage stage = UpdaterStage::Finished;
  DWORD errorCode = 0;  // GetLastError of the failed step
  DWORD exitCode = 0;   // Finished only: the tool's exit code
  bool failed = false;  // Finished only: the verdict over its output and exit code
  bool completed = false;  // Finished only: it printed its completion text
};

// The system call a failed stage stands for ("CreatePipe", "SetHandleInformation",
// "CreateProcess"); empty for the others.
const char* FailedCall(UpdaterStage stage);

// Each block of the tool's output as it arrives.
using UpdaterOutputSink = std::function<void(const char* data, size_t length)>;
// Called every OUTPUT_QUIET_TICK_MS while the tool runs and prints nothing.
using UpdaterQuietTick = std::function<void()>;

class HeldUpdater;

// Runs the updater with its command line (update/portable/updater_command.h) in its
// own folder and waits for it to end. The child inherits the pipe's write
// end and `alsoInherit` (when not null), nothing else of ours. `held`, the
// updater as checked, is let go once the updater has started.
UpdaterRun RunUpdaterTool(const std::wstring& toolPath, const std::wstring& fwFile,
                          const UpdaterOutputSink& onOutput = {}, HANDLE alsoInherit = nullptr,
                          const UpdaterQuietTick& onQuiet = {}, HeldUpdater* held = nullptr);
