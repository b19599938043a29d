#include "tests/update/update_harness.h"

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "shell/window/device_list.h"
#include "resources/resource.h"
#include "base/log.h"
#include "shell/window/main_window.h"
#include "shell/window/menus.h"
#include "shell/window/startup.h"
#include "base/portable/ui_text.h"
#include "standins/sim_dock/sim_dock.h"
#include "tests/support/test_support.h"
#include "shell/window/wait_dialog.h"

namespace updatetest {

namespace {

using testsupport::IsMessageBox;

// A default-button id no control has: once the dialog reports it, every
// message posted before it has been through the dialog's modal loop.
constexpr WPARAM KEYS_DONE_MARKER = 0x7A5C;

using Clock = std::chrono::steady_clock;

bool IsWaitDialog(HWND window) { return GetDlgItem(window, IDC_WAIT_TEXT) != nullptr; }
bool IsFileDialog(HWND window) { return GetDlgItem(window, testsupport::WINE_FILE_NAME_ID) != nullptr; }

DWORD ThreadOf(HWND window) { return GetWindowThreadProcessId(window, nullptr); }

// The wait dialog's own clock ticks, counted as its thread takes them from
// its queue: a box held "until the clock has ticked" is held by the
// program's own timer, not by a guess at how long a loaded machine needs.
std::atomic<HWND> g_hTickingDialog{nullptr};
std::atomic<int> g_clockTicks{0};
LRESULT CALLBACK CountClockTicks(int code, WPARAM removed, LPARAM message) {
  if (code == HC_ACTION && removed == PM_REMOVE) {
    const MSG* taken = reinterpret_cast<const MSG*>(message);
    if (taken->message == WM_TIMER && taken->wParam == IDT_WAIT_ELAPSED && taken->hwnd == g_hTickingDialog.load()) {
      ++g_clockTicks;
    }
  }
  return CallNextHookEx(nullptr, code, removed, message);
}

std::wstring DialogItemText(HWND dialog, int item) {
  wchar_t text[256] = {};
  GetDlgItemTextW(dialog, item, text, 256);
  return text;
}

}  // namespace

HWND ProgramWindow() {
  static HWND mainWindow = [] {
    SetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", nullptr);
    SimDockSet(SimDockState{});
    CreateLog();
    libusb_init(nullptr);
    HWND window = BuildMainWindow(GetModuleHandleW(nullptr));
    ShowMainWindow(window);
    return window;
  }();
  return mainWindow;
}

std::wstring ToolBesideProgram() { return testsupport::ExecutableFolder() + UPDATER_TOOL_NAME; }

void InstallStandinTool() {
  CopyFileW(testsupport::WinePath(VARNOCK_STANDIN_EXE).c_str(), ToolBesideProgram().c_str(), FALSE);
}

void RemoveTool() { DeleteFileW(ToolBesideProgram().c_str()); }

void InstallNonProgramTool() {
  RemoveTool();
  testsupport::WriteFileBytes(ToolBesideProgram(), "This file only carries the tool's name; it is no program.\r\n");
}

void SelectDockRow() {
  ProgramWindow();
  if (ListRowCount(DeviceListWindow()) == 0) RefreshDeviceList();
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(DeviceListWindow(), LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
}

void ClearSelection() {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED;
  item.state = 0;
  SendMessageW(DeviceListWindow(), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
}

std::vector<std::string> LoggedBlocks(const std::vector<LogRecord>& records) {
  static const std::string prefix = "ReadFile\n ";
  std::vector<std::string> blocks;
  for (const LogRecord& record : records) {
    if (record.level == "info" && record.message.compare(0, prefix.size(), prefix) == 0) {
      blocks.push_back(testsupport::UnmarkedToolOutput(record.message.substr(prefix.size())));
    }
  }
  return blocks;
}

std::vector<HWND> ProcessDialogs() {
  std::vector<HWND> found;
  for (HWND window : testsupport::FindThreadWindows(0, L"#32770")) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) found.push_back(window);
  }
  return found;
}

struct DialogDriver::State {
  DriverPlan plan;
  DriverReport report;
  DWORD uiThread = 0;
  HWND mainWindow = nullptr;
  std::atomic<bool> stop{false};
  std::thread thread;

  void LookAtWaitDialog(HWND dialog) {
    WaitSeen seen;
    seen.dialog = dialog;
    seen.owner = GetWindow(dialog, GW_OWNER);
    GetWindowRect(dialog, &seen.rect);
    GetWindowRect(seen.owner, &seen.ownerRect);
    wchar_t text[256] = {};
    GetDlgItemTextW(dialog, IDC_WAIT_TEXT, text, 256);
    seen.text = text;
    seen.ownerEnabled = IsWindowEnabled(seen.owner) != FALSE;
    for (HWND other : ProcessDialogs()) {
      if (IsMessageBox(other) && ThreadOf(other) != uiThread) seen.workerBoxOpen = true;
    }
    if (plan.pressKeys) {
      PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0x001C0001);
      PostMessageW(dialog, WM_KEYUP, VK_RETURN, 0xC01C0001);
      PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
      PostMessageW(dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // what Alt+F4 and the system menu send
      PostMessageW(dialog, WM_CLOSE, 0, 0);              // as another program would
      if (plan.postSecondDownload) PostMessageW(mainWindow, WM_COMMAND, IDM_FW_DOWNLOAD, 0);
      PostMessageW(dialog, DM_SETDEFID, KEYS_DONE_MARKER, 0);
      seen.keysDone = testsupport::WaitUntil(
          [&] {
            DWORD_PTR answer = 0;
            if (!SendMessageTimeoutW(dialog, DM_GETDEFID, 0, 0, SMTO_NORMAL, 1000, &answer)) return !IsWindow(dialog);
            return HIWORD(answer) == DC_HASDEFID && LOWORD(answer) == KEYS_DONE_MARKER;
          },
          std::chrono::seconds(5));
      seen.survivedKeys = seen.keysDone && IsWindow(dialog) && IsWindowVisible(dialog);
    }
    report.waits.push_back(seen);
    if (plan.closeWaitDialog) RequestWaitDialogClose();
    if (plan.releaseAfterWaitDialog) SetEvent(plan.releaseAfterWaitDialog);
  }

  void AnswerMessageBox(HWND box, LARGE_INTEGER firstSeen) {
    BoxSeen seen;
    seen.seenAt = firstSeen;
    seen.onUiThread = ThreadOf(box) == uiThread;
    HWND behind = nullptr;
    for (HWND other : ProcessDialogs()) {
      if (IsWaitDialog(other)) behind = other;
    }
    seen.waitDialogBehind = behind != nullptr;
    if (behind) {
      seen.waitLine = DialogItemText(behind, IDC_WAIT_OUTPUT);
      HHOOK ticks = nullptr;
      if (plan.holdOutcomeBoxTicks > 0) {
        g_hTickingDialog.store(behind);
        g_clockTicks.store(0);
        ticks = SetWindowsHookExW(WH_GETMESSAGE, CountClockTicks, nullptr, ThreadOf(behind));
        seen.clockTicksCounted = ticks != nullptr;
      }
      seen.elapsedAtBox = DialogItemText(behind, IDC_WAIT_ELAPSED);
      if (ticks != nullptr) {
        // The tick taken after the last one counted has been handled: a clock
        // that still ran would show a later time by then.
        testsupport::WaitUntil([&] { return g_clockTicks.load() > plan.holdOutcomeBoxTicks; },
                               std::chrono::seconds(30));
        UnhookWindowsHookEx(ticks);
        g_hTickingDialog.store(nullptr);
      }
      seen.elapsedLater = DialogItemText(behind, IDC_WAIT_ELAPSED);
    }
    seen.mainEnabled = IsWindowEnabled(mainWindow) != FALSE;
    static_cast<testsupport::MessageBoxSeen&>(seen) = testsupport::AnswerMessageBox(box);
    report.boxes.push_back(seen);
  }

  void Run() {
    std::set<HWND> done;
    std::map<HWND, Clock::time_point> pending;  // first sight of boxes and file dialogs
    std::map<HWND, LARGE_INTEGER> firstSeen;
    std::set<HWND> fileDialogs;
    Clock::time_point deadline = Clock::now() + plan.limit;
    while (!stop.load()) {
      const auto now = Clock::now();
      const std::vector<HWND> dialogs = ProcessDialogs();
      // Wait dialogs first, so they are looked at before any outcome box is answered.
      for (HWND window : dialogs) {
        if (!done.count(window) && IsWaitDialog(window)) {
          done.insert(window);
          LookAtWaitDialog(window);
        }
      }
      for (HWND window : dialogs) {
        if (done.count(window) || IsWaitDialog(window)) continue;
        const auto first = pending.emplace(window, now).first->second;
        if (!firstSeen.count(window)) QueryPerformanceCounter(&firstSeen[window]);
        if (IsMessageBox(window)) {
          // An outcome box waits (a while) for its wait dialog to have been seen.
          const bool fromWorker = ThreadOf(window) != uiThread;
          if (fromWorker && plan.waitDialogExpected && report.waits.empty() &&
              now - first < std::chrono::seconds(5)) {
            continue;
          }
          done.insert(window);
          AnswerMessageBox(window, firstSeen[window]);
        } else if (IsFileDialog(window)) {
          // Answered at once, and again if it is still up after a while.
          const bool firstTime = fileDialogs.insert(window).second;
          if (firstTime && plan.whileFileDialogOpen) plan.whileFileDialogOpen();
          if (firstTime || now - first > std::chrono::seconds(2)) {
            pending[window] = now;
            if (plan.chooseFile.empty()) {
              PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
            } else {
              SetDlgItemTextW(window, testsupport::WINE_FILE_NAME_ID, plan.chooseFile.c_str());
              PostMessageW(window, WM_COMMAND, IDOK, 0);
            }
          }
        } else if (now - first > std::chrono::seconds(1)) {
          done.insert(window);
          ++report.unknownWindows;
        }
      }
      if (now > deadline) {
        report.forced = true;
        for (HWND window : ProcessDialogs()) {
          if (IsWaitDialog(window)) RequestWaitDialogClose();
          else PostMessageW(window, WM_COMMAND, IsMessageBox(window) ? IDOK : IDCANCEL, 0);
        }
        deadline = now + std::chrono::seconds(1);
      }
      Sleep(1);
    }
    report.fileDialogs = static_cast<int>(fileDialogs.size());
  }
};

DialogDriver::DialogDriver(DriverPlan plan) : state_(new State) {
  state_->plan = std::move(plan);
  state_->uiThread = GetCurrentThreadId();
  state_->mainWindow = ProgramWindow();
  state_->thread = std::thread([state = state_] { state->Run(); });
}

DialogDriver::~DialogDriver() {
  Finish();
  delete state_;
}

DriverReport DialogDriver::Finish() {
  state_->stop.store(true);
  if (state_->thread.joinable()) state_->thread.join();
  return state_->report;
}

bool WaitUntilIdle(std::chrono::milliseconds limit) {
  HWND mainWindow = ProgramWindow();
  if (!testsupport::PumpUntil([&] { return IsWindowEnabled(mainWindow) && ProcessDialogs().empty(); }, limit)) {
    return false;
  }
  // Whatever the worker posted before enabling the window is dispatched now.
  testsupport::PumpMessages();
  return true;
}

UpdateRun RunFirmwareDownload(const DriverPlan& plan) {
  HWND mainWindow = ProgramWindow();
  const size_t mark = testsupport::LogMark();
  UpdateRun run;
  {
    DialogDriver driver(plan);
    SendMessageW(mainWindow, WM_COMMAND, IDM_FW_DOWNLOAD, 0);
    run.mainEnabledAfter = WaitUntilIdle(plan.limit);
    run.seen = driver.Finish();
  }
  SetCurrentDirectoryW(testsupport::StartFolder().c_str());
  run.dialogsLeftOpen = !ProcessDialogs().empty();
  run.log = testsupport::RecordsSince(mark);
  return run;
}

StdoutCapture::StdoutCapture(const std::wstring& file) : file_(file) {
  std::fflush(stdout);
  saved_ = _dup(1);
  const int target = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  _dup2(target, 1);
  _close(target);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
}

StdoutCapture::~StdoutCapture() { Finish(); }

std::string StdoutCapture::Finish() {
  if (saved_ < 0) return testsupport::ReadFileBytes(file_);
  std::fflush(stdout);
  _dup2(saved_, 1);
  _close(saved_);
  saved_ = -1;
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  return testsupport::ReadFileBytes(file_);
}

}  // namespace updatetest
