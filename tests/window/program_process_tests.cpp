// The program as a process: the demo build (over a simulated dock described
// by a state file) and the real build (real libusb, no dock under Wine),
// started as children, found by their windows and driven by messages.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::APP_CLASS;
using testsupport::APP_TITLE;
using testsupport::ChildProcess;
using testsupport::CountOf;

std::wstring DemoExe() { return testsupport::BuildFolder() + L"demo\\VarnockFWUpdate-demo.exe"; }
std::wstring RealExe() { return testsupport::BuildFolder() + L"VarnockFWUpdate.exe"; }

struct FoundWindow {
  DWORD process = 0;
  HWND window = nullptr;
};

BOOL CALLBACK MatchProgramWindow(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<FoundWindow*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  // The title as stored, without a message to a program that may be busy.
  wchar_t title[64] = {};
  InternalGetWindowText(window, title, 64);
  if (owner == found->process && testsupport::ClassName(window) == APP_CLASS && std::wstring(title) == APP_TITLE) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

// The program's main window in the given process, or null.
HWND ProgramWindow(DWORD process) {
  FoundWindow found{process, nullptr};
  EnumWindows(MatchProgramWindow, reinterpret_cast<LPARAM>(&found));
  return found.window;
}

int RowCount(HWND mainWindow) {
  HWND list = FindWindowExW(mainWindow, nullptr, L"SysListView32", nullptr);
  if (list == nullptr) return -1;
  return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

// A started copy of the program, ended (and waited for) when it goes.
class Program {
 public:
  // Starts exe in a fresh working folder; the simulated dock reads dockState (if given).
  // With a statePath the state is read from there instead.
  Program(const std::wstring& exe, const std::wstring& folder, const std::string& dockState = "present=1\n",
          std::wstring statePath = L"") {
    folder_ = testsupport::FreshFolder(folder);
    std::wstring stateFile = statePath;
    if (stateFile.empty()) {
      stateFile = folder_ + L"sim-dock-state.ini";
      testsupport::WriteFileBytes(stateFile, dockState);
    }
    SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", stateFile.c_str());  // inherited by the child
    child_ = testsupport::StartProcess(L"\"" + exe + L"\"", folder_);
    SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", nullptr);
  }
  ~Program() {
    if (child_.process == nullptr) return;
    if (testsupport::WaitForExit(child_.process, 0) == STILL_ACTIVE) {
      if (HWND window = ProgramWindow(child_.id)) PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
      if (testsupport::WaitForExit(child_.process, 10000) == STILL_ACTIVE) TerminateProcess(child_.process, 99);
    }
    CloseHandle(child_.process);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Started() const { return child_.process != nullptr; }
  DWORD Id() const { return child_.id; }
  HANDLE Process() const { return child_.process; }
  const std::wstring& Folder() const { return folder_; }

  // Waits, pumping this thread's own windows, until the program's window is visible.
  HWND WaitForVisibleWindow() {
    HWND window = nullptr;
    testsupport::PumpUntil(
        [&] {
          window = ProgramWindow(child_.id);
          return window != nullptr && IsWindowVisible(window);
        },
        std::chrono::seconds(30));
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
  }
  DWORD WaitForExit(DWORD milliseconds = 15000) const { return testsupport::WaitForExit(child_.process, milliseconds); }
  std::vector<std::string> Log() const { return testsupport::LogMessages(folder_ + L"basic-log.txt"); }
  bool HasLogFile() const { return GetFileAttributesW((folder_ + L"basic-log.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }

 private:
  std::wstring folder_;
  ChildProcess child_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "[" + line + "]\n";
  return text;
}

// ---- the demo ---------------------------------------------------------------------

// Serves the simulated dock's state through a named pipe, one connection at
// a time, so the test decides when each dock query of the program may go on.
class DockStatePipe {
 public:
  static constexpr int INSTANCES = 2;
  explicit DockStatePipe(const std::wstring& name) : path_(L"\\\\.\\pipe\\" + name) {
    for (HANDLE& instance : instances_) {
      instance = CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    }
  }
  ~DockStatePipe() {
    for (HANDLE instance : instances_) {
      if (instance != INVALID_HANDLE_VALUE) CloseHandle(instance);
    }
  }
  DockStatePipe(const DockStatePipe&) = delete;
  DockStatePipe& operator=(const DockStatePipe&) = delete;
  const std::wstring& Path() const { return path_; }

  // Waits until the program opens instance i (its next read of the state).
  bool WaitForReader(int i) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(instances_[i], &overlapped) != FALSE;
    if (!connected) {
      const DWORD error = GetLastError();
      connected = error == ERROR_PIPE_CONNECTED;
      if (error == ERROR_IO_PENDING && WaitForSingleObject(overlapped.hEvent, 20000) == WAIT_OBJECT_0) {
        DWORD unused = 0;
        connected = GetOverlappedResult(instances_[i], &overlapped, &unused, FALSE) != FALSE;
      } else if (error == ERROR_IO_PENDING) {
        CancelIo(instances_[i]);
      }
    }
    CloseHandle(overlapped.hEvent);
    return connected;
  }
  // Hands instance i its state and ends the connection, so its read sees the end.
  void Serve(int i, const std::string& state) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (!WriteFile(instances_[i], state.data(), static_cast<DWORD>(state.size()), &written, &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(instances_[i], &overlapped, &written, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    // Closing (not disconnecting) keeps the written bytes readable.
    CloseHandle(instances_[i]);
    instances_[i] = INVALID_HANDLE_VALUE;
  }

 private:
  std::wstring path_;
  HANDLE instances_[INSTANCES] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

TEST(DemoProgram, StartsCentredWithTheRowShownFromTheFirstMomentAndExitsCleanly) {
  const std::string state =
      "present=1\nvendor=Varnock\nproduct=Varnock USB-C Dock\nserial=VN-2026-0042\nfirmware=1.4.0.9\n";
  DockStatePipe pipe(L"varnock-window-test-" + std::to_wstring(GetCurrentProcessId()));
  Program demo(DemoExe(), L"demo-start", "", pipe.Path());
  ASSERT_TRUE(demo.Started());
  // The simulated USB library reads the state once at initialisation and once per dock query.
  ASSERT_TRUE(pipe.WaitForReader(0));
  pipe.Serve(0, state);
  ASSERT_TRUE(pipe.WaitForReader(1));
  // The first dock query is under way (the program waits for its answer, so
  // nothing here may send it a message): the window and its list exist, and
  // the window is not shown yet.
  HWND window = ProgramWindow(demo.Id());
  ASSERT_NE(window, nullptr);
  EXPECT_NE(FindWindowExW(window, nullptr, L"SysListView32", nullptr), nullptr);
  EXPECT_FALSE(IsWindowVisible(window)) << "shown before the list was filled";
  pipe.Serve(1, state);

  ASSERT_EQ(demo.WaitForVisibleWindow(), window);
  EXPECT_EQ(RowCount(window), 1);

  testsupport::ExpectCentredOnScreen(window, 900, 520);

  PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
  EXPECT_EQ(demo.WaitForExit(), 0u);
  const std::vector<std::string> log = demo.Log();
  ASSERT_EQ(log.size(), 11u) << Joined(log);
  EXPECT_EQ(log[0], "info program start...");
  EXPECT_TRUE(std::regex_match(log[1], std::regex(R"(info Windows version: \d+\.\d+ \(Build \d+\))"))) << log[1];
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.end()),
            (std::vector<std::string>{"info CreateMainMenu", "info CreateListView", "info FillDataToListView",
                                      "info iManufacturer Varnock", "info iProduct Varnock USB-C Dock",
                                      "info iSerialNumber VN-2026-0042", "info fwver 1.4.0.9",
                                      "info RegisterDeviceNotify", "info QuitApp\n\n"}))
      << Joined(log);
}

TEST(DemoProgram, CloseBoxEndsTheProgramWithQuitLoggedOnce) {
  Program demo(DemoExe(), L"demo-close");
  HWND window = demo.WaitForVisibleWindow();
  ASSERT_NE(window, nullptr);
  PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(demo.WaitForExit(), 0u);
  const std::vector<std::string> log = demo.Log();
  EXPECT_EQ(CountOf(log, "info QuitApp\n\n"), 1) << Joined(log);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "info QuitApp\n\n");
}

TEST(DemoProgram, SecondStartRaisesTheFirstEvenMinimisedAndLeavesNoTrace) {
  for (bool minimised : {false, true}) {
    SCOPED_TRACE(minimised ? "first copy minimised" : "first copy behind another window");
    Program first(DemoExe(), L"demo-first");
    HWND window = first.WaitForVisibleWindow();
    ASSERT_NE(window, nullptr);
    if (minimised) {
      ShowWindow(window, SW_MINIMIZE);
      ASSERT_TRUE(testsupport::WaitUntil([&] { return IsIconic(window) != FALSE; }));
    }
    // Something else has the foreground.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return GetForegroundWindow() == other; }));

    Program second(DemoExe(), L"demo-second");
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.WaitForExit(), 0u);
    EXPECT_FALSE(second.HasLogFile()) << "the refused copy writes nothing";
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !IsIconic(window) && IsWindowVisible(window); }));
    EXPECT_TRUE(testsupport::PumpUntil([&] { return GetForegroundWindow() == window; }));
    RECT frame{};
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, 900) << "restored to its normal size";
    DestroyWindow(other);

    PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(first.WaitForExit(), 0u);
    EXPECT_EQ(CountOf(first.Log(), "info program start..."), 1);
  }
}

// A window of this process with the program's title or class, but not both.
class ForeignWindow {
 public:
  ForeignWindow(const wchar_t* className, const wchar_t* title) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    registered_ = RegisterClassW(&windowClass) != 0;
    className_ = className;
    window_ = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20, 300, 200, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  }
  ~ForeignWindow() {
    DestroyWindow(window_);
    if (registered_) UnregisterClassW(className_.c_str(), GetModuleHandleW(nullptr));
  }
  HWND Get() const { return window_; }

 private:
  HWND window_ = nullptr;
  bool registered_ = false;
  std::wstring className_;
};

TEST(DemoProgram, WindowWithOnlyTheTitleOrOnlyTheClassIsNoRunningCopy) {
  struct Case {
    const wchar_t* className;
    const wchar_t* title;
  };
  for (const Case& foreign : {Case{L"SomeOtherToolClass", APP_TITLE}, Case{APP_CLASS, L"Some Other Tool"}}) {
    ForeignWindow decoy(foreign.className, foreign.title);
    ASSERT_NE(decoy.Get(), nullptr);
    ShowWindow(decoy.Get(), SW_MINIMIZE);
    Program demo(DemoExe(), L"demo-decoy");
    HWND window = demo.WaitForVisibleWindow();
    ASSERT_NE(window, nullptr) << testsupport::Utf8(foreign.className) << " / " << testsupport::Utf8(foreign.title);
    EXPECT_NE(window, decoy.Get());
    EXPECT_TRUE(IsIconic(decoy.Get())) << "the decoy was not restored";
    PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
    EXPECT_EQ(demo.WaitForExit(), 0u);
    EXPECT_EQ(CountOf(demo.Log(), "info program start..."), 1);
  }
}

TEST(DemoProgram, ALogThatCannotBeOpenedIsToldInTheTipBoxAndTheWindowOpensAfterIt) {
  const std::wstring folder = testsupport::FreshFolder(L"demo-log-held");
  const std::wstring state = folder + L"sim-dock-state.ini";
  testsupport::WriteFileBytes(state, "present=1\n");
  // Held with share mode 0: the program cannot open its log.
  UniqueHandle held(CreateFileW((folder + L"basic-log.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", state.c_str());
  const ChildProcess child = testsupport::StartProcess(L"\"" + DemoExe() + L"\"", folder);
  SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", nullptr);
  ASSERT_NE(child.process, nullptr);
  UniqueHandle process(child.process);

  HWND box = nullptr;
  testsupport::PumpUntil(
      [&] {
        for (HWND window : testsupport::FindThreadWindows(0, L"#32770")) {
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          if (owner == child.id && testsupport::IsMessageBox(window)) box = window;
        }
        return box != nullptr;
      },
      std::chrono::seconds(30));
  ASSERT_NE(box, nullptr) << "no box about the log";
  EXPECT_EQ(ProgramWindow(child.id), nullptr) << "the box comes before the window";
  const testsupport::MessageBoxSeen seen = testsupport::AnswerMessageBox(box);
  EXPECT_EQ(seen.caption, L"Tip");
  EXPECT_EQ(seen.text, L"Init Log Failed");
  EXPECT_EQ(seen.buttons, (std::vector<int>{IDOK}));

  // The program goes on without its log.
  HWND window = nullptr;
  EXPECT_TRUE(testsupport::PumpUntil(
      [&] {
        window = ProgramWindow(child.id);
        return window != nullptr && IsWindowVisible(window);
      },
      std::chrono::seconds(30)));
  if (window != nullptr) PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
  EXPECT_EQ(testsupport::WaitForExit(process.Get(), 15000), 0u);
  if (testsupport::WaitForExit(process.Get(), 0) == STILL_ACTIVE) TerminateProcess(process.Get(), 99);
}

// ---- the real program -------------------------------------------------------------

TEST(RealProgram, StartsWithAnEmptyListWhenNoDockIsFound) {
  Program real(RealExe(), L"real-start");
  ASSERT_TRUE(real.Started());
  HWND window = real.WaitForVisibleWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(RowCount(window), 0);
  PostMessageW(window, WM_COMMAND, IDM_EXIT, 0);
  EXPECT_EQ(real.WaitForExit(), 0u);
  const std::vector<std::string> log = real.Log();
  ASSERT_EQ(log.size(), 8u) << Joined(log);
  EXPECT_EQ(log[0], "info program start...");
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.end()),
            (std::vector<std::string>{"info CreateMainMenu", "info CreateListView", "info FillDataToListView",
                                      "error libusb_open_device_with_vid_pid failed", "info RegisterDeviceNotify",
                                      "info QuitApp\n\n"}))
      << Joined(log);
}

}  // namespace
