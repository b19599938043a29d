#pragma once
// Runs firmware updates in this process the way the program does, with its
// real main window, list, dialogs and the stand-in updater tool as a real
// child process, and watches what the user would see from a helper thread.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace updatetest {

// The program's main window, created once per process as wWinMain does
// (log in the working directory, list filled from the simulated dock).
HWND ProgramWindow();

// The updater tool beside this executable, where the program looks for it.
std::wstring ToolBesideProgram();
void InstallStandinTool();       // the real stand-in program
void RemoveTool();               // no file at all
void InstallNonProgramTool();    // a text file under the tool's name: it exists but cannot be started

// Selects the dock row (the list is refilled by every update, which drops the selection).
void SelectDockRow();
void ClearSelection();

using testsupport::ChineseRun;
using testsupport::FindRecord;
using testsupport::LogRecord;
using testsupport::WriteImage;

// The payloads of the "ReadFile\n {}" records, in order.
std::vector<std::string> LoggedBlocks(const std::vector<LogRecord>& records);

// What the helper thread saw of one message box.
struct BoxSeen : testsupport::MessageBoxSeen {
  bool onUiThread = false;        // shown by the UI thread (else by the worker)
  bool waitDialogBehind = false;  // a wait dialog was open when the box was seen
  bool mainEnabled = false;
  LARGE_INTEGER seenAt{};         // performance counter when first seen
  std::wstring waitLine;          // the wait dialog's latest-line area behind it
  std::wstring elapsedAtBox;      // the wait dialog's elapsed time when the box was seen,
  std::wstring elapsedLater;      // and after DriverPlan::holdOutcomeBoxTicks
  bool clockTicksCounted = false; // the wait dialog's clock ticks could be watched
};

// What it saw of a wait dialog, when it first saw it.
struct WaitSeen {
  HWND dialog = nullptr;
  HWND owner = nullptr;
  RECT rect{};
  RECT ownerRect{};
  std::wstring text;
  bool ownerEnabled = true;
  bool workerBoxOpen = false;  // an outcome box was already up
  bool keysDone = false;       // Enter, Esc, IDOK, IDCANCEL, Alt+F4 and WM_CLOSE all went through the dialog
  bool survivedKeys = false;   // and it was still open afterwards
};

struct DriverPlan {
  std::wstring chooseFile;                   // typed into the open-file dialog; empty: cancel it
  bool pressKeys = true;                     // try to end the wait dialog by keys, Alt+F4 and a stray WM_CLOSE
  bool postSecondDownload = false;           // with the keys, post the firmware-download command again
  HANDLE releaseAfterWaitDialog = nullptr;   // event set once the wait dialog has been looked at
  bool closeWaitDialog = false;              // ask it to close, as the worker does, after looking (standalone dialogs)
  bool waitDialogExpected = true;            // an outcome box is answered only after the wait dialog was seen
  std::chrono::milliseconds limit{20000};    // then whatever is still open is closed and the run marked forced
  int holdOutcomeBoxTicks = 0;               // a box over a wait dialog is answered once the dialog's clock has ticked this often
  std::function<void()> whileFileDialogOpen;   // runs once the open-file dialog is up, before it is answered
};

struct DriverReport {
  int fileDialogs = 0;
  std::vector<BoxSeen> boxes;
  std::vector<WaitSeen> waits;
  int unknownWindows = 0;
  bool forced = false;
};

// Watches all dialogs of this process on a helper thread and answers them.
class DialogDriver {
 public:
  explicit DialogDriver(DriverPlan plan);
  ~DialogDriver();
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;
  // Stops watching; call once the modal part has returned.
  DriverReport Finish();

 private:
  struct State;
  State* state_;
};

// The result of one firmware-download command.
struct UpdateRun {
  DriverReport seen;
  std::vector<LogRecord> log;  // records written during the run
  bool mainEnabledAfter = false;
  bool dialogsLeftOpen = false;
};

// Sends the firmware-download command to the main window, as its context
// menu does, answers the dialogs, and waits until the program is idle again.
UpdateRun RunFirmwareDownload(const DriverPlan& plan);

// Pumps until the main window is enabled and no dialog of this process is open.
bool WaitUntilIdle(std::chrono::milliseconds limit = std::chrono::seconds(10));
// Visible "#32770" windows of this process.
std::vector<HWND> ProcessDialogs();

// Redirects this process's C standard output into a file while alive.
class StdoutCapture {
 public:
  explicit StdoutCapture(const std::wstring& file);
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  std::string Finish();  // restores standard output and returns what was written

 private:
  std::wstring file_;
  int saved_ = -1;
};

}  // namespace updatetest
