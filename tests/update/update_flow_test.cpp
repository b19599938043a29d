// The firmware-download command end to end, in this process: the program's
// main window and list, the real open-file dialog, the wait dialog and the
// message boxes, and the stand-in updater tool started as a real child
// process that writes into the real pipe.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <future>
#include <thread>
#include <vector>

#include <commctrl.h>
#include <shobjidl.h>
#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/log_lines.h"
#include "base/win_handles.h"
#include "shell/window/device_list.h"
#include "docks/dock_guard.h"
#include "resources/resource.h"
#include "shell/window/main_window.h"
#include "standins/sim_dock/sim_dock.h"
#include "tests/support/test_support.h"
#include "tests/update/update_harness.h"
#include "update/dock_after_flash.h"
#include "shell/window/update_lock.h"
#include "shell/window/updater_runner.h"
#include "shell/window/wait_dialog.h"

using namespace updatetest;
using testsupport::TOOL_COMPLETED;
using testsupport::TOOL_FAILED;
using testsupport::ToolGate;
using testsupport::Utf8;
using testsupport::Wide;

// Allocation failure on demand: while armed, every allocation of more than a
// megabyte fails on any thread but the exempt one, as on a starved machine.
std::atomic<DWORD> g_bigAllocationsFailExceptOn{0};

void* operator new(std::size_t size) {
  const DWORD exempt = g_bigAllocationsFailExceptOn.load(std::memory_order_relaxed);
  if (exempt != 0 && size > (std::size_t{1} << 20) && GetCurrentThreadId() != exempt) throw std::bad_alloc();
  if (void* memory = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  if (memory != nullptr) HeapFree(GetProcessHeap(), 0, memory);
}
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }

namespace {

const std::wstring TOOL_MISSING_TEXT = L"varnock_dockupdatefw.exe 文件不存在，无法升级。";
const std::wstring INVALID_IMAGE_TEXT = L"不是有效的固件文件。";
const std::wstring UPDATE_OK_TEXT = L"固件升级成功。";
const std::wstring UPDATE_FAILED_TEXT = L"升级失败，请重新升级。";

// How the power request was had depends on the system (Wine makes no power
// request, so the program falls back): the lines name it as "<way>".
const std::string POWER_REQUEST_SET = "Power request set ";
// The worker reads the dock again before the flash, under the flash's guard:
// its query lines, from "FWDownload QueryDock" on, taken out.
std::vector<LogRecord> WithoutDockRead(std::vector<LogRecord> log) {
  static const char* const QUERY_LINES[] = {"iManufacturer ", "iProduct ", "iSerialNumber ", "fwver ", "QueryDock ",
                                            "libusb_"};
  for (auto at = log.begin(); at != log.end(); ++at) {
    if (at->message != "FWDownload QueryDock") continue;
    auto end = at + 1;
    while (end != log.end() && std::any_of(std::begin(QUERY_LINES), std::end(QUERY_LINES), [&](const char* line) {
             return end->message.rfind(line, 0) == 0;
           })) {
      ++end;
    }
    log.erase(at, end);
    break;
  }
  return log;
}

std::vector<LogRecord> PowerRequestWayHidden(std::vector<LogRecord> log) {
  for (LogRecord& record : log) {
    if (record.message.rfind(POWER_REQUEST_SET, 0) == 0) record.message = POWER_REQUEST_SET + "<way>";
  }
  return log;
}

bool FileExists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

HICON QuestionIcon() { return LoadIconW(nullptr, IDI_QUESTION); }
HICON WarningIcon() { return LoadIconW(nullptr, IDI_WARNING); }

// What the outcome box must say, and its icon.
struct Told {
  std::wstring text;
  HICON icon;
};
Told Failed() { return {UPDATE_FAILED_TEXT, QuestionIcon()}; }
Told Updated(const std::wstring& before, const std::wstring& after) {
  return {UPDATE_OK_TEXT + L"\n\n" + before + L" \u2192 " + after, nullptr};
}
// The updater reported success, the dock kept its version.
Told Unchanged(const std::wstring& version = L"1.2.3.4") {
  return {ChineseRun() ? L"升级程序报告成功，但扩展坞仍显示固件版本 " + version +
                             L"。如果所选固件就是该版本，则无需处理；否则请重新升级。"
                       : L"The updater reported success, but the dock still reports firmware " + version +
                             L". If the image holds that same version, nothing is wrong; otherwise update again.",
          WarningIcon()};
}
// The dock was waited for `seconds` (the window's wait as set) without an answer.
Told NoAnswer(int seconds) {
  const std::wstring n = std::to_wstring(seconds);
  return {ChineseRun() ? L"升级程序报告成功，但扩展坞在 " + n + L" 秒内没有响应。请检查线缆和电源，然后选择“文件 > 刷新”。"
                       : L"The updater reported success, but the dock did not answer within " + n +
                             L" seconds. Check its cable and power, then choose File > Refresh.",
          WarningIcon()};
}

std::wstring ExpectedWaitText() {
  return ChineseRun() ? L"请稍等，固件正在升级中..." : L"Please Wait,Firmware is Updating...";
}

std::string ExpectedCommandLine(const std::wstring& tool, const std::wstring& image) {
  return "\"" + Utf8(tool) + "\" -vid 3A7D -pid B070 -i \"" + Utf8(image) + "\" -l v";
}

class FirmwareDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    mainWindow_ = ProgramWindow();
    // Whatever an earlier case left behind would blur this one.
    ASSERT_TRUE(WaitUntilIdle(std::chrono::seconds(5))) << "a dialog is still open or the window disabled";
    InstallStandinTool();
    SetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", nullptr);
    SelectDockRow();
    const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = testsupport::FreshFolder(testsupport::Wide(name));
  }
  void TearDown() override {
    InstallStandinTool();
    SetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", nullptr);
    if (GetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", nullptr, 0) > 0) {
      SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", nullptr);
      SimDockSet(SimDockState{});
      RefreshDeviceList();
    }
  }

  // An accepted image whose embedded script drives the stand-in.
  std::wstring ScriptedImage(const std::wstring& name, const std::string& script) {
    const std::wstring path = folder_ + name;
    WriteImage(path, 4096, script);
    return path;
  }

  UpdateRun Run(const std::wstring& image) {
    SelectDockRow();
    DriverPlan plan;
    plan.chooseFile = image;
    return RunFirmwareDownload(plan);
  }

  // An update left to run its course (no keys) while `watch` looks at it
  // from another thread.
  UpdateRun RunWatched(const std::wstring& image, const std::function<void()>& watch) {
    std::thread watcher(watch);
    SelectDockRow();
    DriverPlan plan;
    plan.chooseFile = image;
    plan.pressKeys = false;
    plan.limit = std::chrono::seconds(150);
    UpdateRun run = RunFirmwareDownload(plan);
    watcher.join();
    return run;
  }

  // The user's view after every run: no dialog left, the window usable again.
  void ExpectBackToIdle(const UpdateRun& run) {
    EXPECT_TRUE(run.mainEnabledAfter);
    EXPECT_TRUE(IsWindowEnabled(mainWindow_));
    EXPECT_FALSE(run.dialogsLeftOpen);
    EXPECT_FALSE(run.seen.forced) << "a dialog had to be closed by the test";
    EXPECT_EQ(run.seen.unknownWindows, 0);
    for (const WaitSeen& wait : run.seen.waits) EXPECT_FALSE(IsWindow(wait.dialog));
  }

  // A refusal on the UI thread before anything started.
  void ExpectRefusal(const UpdateRun& run, const std::wstring& text) {
    ASSERT_EQ(run.seen.boxes.size(), 1u);
    const BoxSeen& box = run.seen.boxes[0];
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, L"VarnockFWUpdate");
    EXPECT_NE(box.icon, nullptr);
    EXPECT_EQ(box.icon, QuestionIcon());
    EXPECT_TRUE(box.onUiThread);
    EXPECT_EQ(box.owner, mainWindow_);
    EXPECT_TRUE(run.seen.waits.empty());
    EXPECT_EQ(FindRecord(run.log, "info", "RealFWDownload"), -1);
    ExpectBackToIdle(run);
  }

  // The outcome box, shown by the worker over the still open wait dialog.
  void ExpectOutcome(const UpdateRun& run, const Told& told) {
    ASSERT_EQ(run.seen.boxes.size(), 1u);
    const BoxSeen& box = run.seen.boxes[0];
    EXPECT_EQ(box.text, told.text);
    EXPECT_EQ(box.caption, testsupport::APP_TITLE);
    EXPECT_EQ(box.icon, told.icon);
    EXPECT_FALSE(box.onUiThread);
    EXPECT_EQ(box.owner, mainWindow_);
    EXPECT_TRUE(box.waitDialogBehind);
    EXPECT_FALSE(box.mainEnabled);
    ASSERT_EQ(run.seen.waits.size(), 1u);
    ExpectBackToIdle(run);
    // The list was refreshed by the posted command, after the tool had ended.
    const int end = FindRecord(run.log, "info", "RealFWDownload end");
    ASSERT_GE(end, 0);
    EXPECT_GE(FindRecord(run.log, "info", "RefreshDeviceList", static_cast<size_t>(end) + 1), 0);
  }

  // The worker's own lines, in order, up to its end.
  void ExpectWorkerLog(const UpdateRun& namedRun, const std::wstring& image, const std::vector<std::string>& blocks,
                       const std::string& exitCode = "0x0") {
    UpdateRun run = namedRun;
    run.log = PowerRequestWayHidden(run.log);
    // The copy the updater is given, in a folder of the update's own, and the dock read again on the worker.
    const std::string copyLine = "FWDownload image copy ";
    const std::string name = Utf8(image.substr(image.find_last_of(L'\\') + 1));
    for (LogRecord& record : run.log) {
      if (record.message.rfind(copyLine, 0) == 0 && record.message.find("\\VarnockFWUpdate.") != std::string::npos &&
          record.message.size() > name.size() &&
          record.message.compare(record.message.size() - name.size() - 1, std::string::npos, "\\" + name) == 0) {
        record.message = copyLine + "<copy>";
      }
    }
    const int query = FindRecord(run.log, "info", "FWDownload QueryDock");
    const int power = FindRecord(run.log, "info", POWER_REQUEST_SET + "<way>");
    ASSERT_GE(query, 0);
    ASSERT_GT(power, query);
    run.log.erase(run.log.begin() + query + 1, run.log.begin() + power);
    std::vector<LogRecord> expected = {
        {"info", "FWDownload"},
        {"info", "FWDownload " + Utf8(ToolBesideProgram())},
        {"info", copyLine + "<copy>"},
        {"info", "FWDownload image sha256 " + testsupport::FileSha256(image)},
        {"info", "FWDownload updater not signed"},
        {"info", "FWDownload select fwfile is " + Utf8(image)},
        {"info", "RealFWDownload"},
        {"info", "FWDownload QueryDock"},
        {"info", POWER_REQUEST_SET + "<way>"},
        {"info", "RealFWDownload CreatePipe"},
        {"info", "RealFWDownload CreateProcess"},
        {"info", "ReadFile"},
    };
    ASSERT_GE(run.log.size(), expected.size());
    EXPECT_EQ(std::vector<LogRecord>(run.log.begin(), run.log.begin() + static_cast<std::ptrdiff_t>(expected.size())),
              expected);
    // The blocks as read. Writes the tool spaces out in time normally arrive
    // as separate reads, but a loaded machine may deliver two in one read, so
    // the order and content of the bytes is what must hold, never more reads
    // than writes.
    std::vector<std::string> logged;
    size_t next = expected.size();
    for (; next < run.log.size() && run.log[next].message.rfind("ReadFile\n ", 0) == 0; ++next) {
      EXPECT_EQ(run.log[next].level, "info");
      logged.push_back(testsupport::UnmarkedToolOutput(run.log[next].message.substr(10)));
    }
    ASSERT_LT(next + 2, run.log.size());
    EXPECT_EQ(run.log[next], (LogRecord{"info", "RealFWDownload tool exit code " + exitCode}));
    EXPECT_EQ(run.log[next + 1], (LogRecord{"info", "RealFWDownload end"}));
    // The computer may sleep again once the updater has ended, whatever its outcome.
    EXPECT_EQ(run.log[next + 2], (LogRecord{"info", "Power request cleared"}));
    if (logged != blocks) {
      EXPECT_EQ(Concatenated(logged), Concatenated(blocks));
      EXPECT_LE(logged.size(), blocks.size());
    }
  }

  std::string Concatenated(const std::vector<std::string>& blocks) {
    std::string all;
    for (const std::string& block : blocks) all += block;
    return all;
  }

  HWND mainWindow_ = nullptr;
  std::wstring folder_;
  // A dock that keeps its version keeps the window waiting for it: not a
  // minute in every case.
  const DockProofLimitForTest proofLimit_{std::chrono::milliseconds(500)};
};

}  // namespace

TEST_F(FirmwareDownload, MissingToolIsRefusedWithTheBareFileNameBeforeAnyFileDialog) {
  RemoveTool();
  const UpdateRun run = Run(ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED));
  EXPECT_EQ(run.seen.fileDialogs, 0);
  ExpectRefusal(run, TOOL_MISSING_TEXT);
  const std::string tool = Utf8(ToolBesideProgram());
  EXPECT_EQ(run.log, (std::vector<LogRecord>{{"info", "FWDownload"}, {"info", "FWDownload " + tool},
                                             {"error", "FWDownload " + tool}}));
}

TEST_F(FirmwareDownload, AnUpdaterOthersMayChangeIsRefusedBeforeAnyFileDialog) {
  // Wine runs every program as an administrator and keeps no file
  // descriptors: the stand-in reads the updater's from beside it.
  const std::wstring sddl = ToolBesideProgram() + L".sddl";
  testsupport::WriteFileBytes(sddl, "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301bf;;;BU)");
  const UpdateRun run = Run(ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED));
  DeleteFileW(sddl.c_str());
  EXPECT_EQ(run.seen.fileDialogs, 0);
  const std::wstring tool = ToolBesideProgram();
  ExpectRefusal(run, testsupport::ChineseRun()
                         ? L"升级程序 " + tool + L" 可被 BUILTIN\\Users 修改；请以管理员身份运行，本程序只启动仅管理员可修改的升级程序。"
                         : L"The updater " + tool + L" can be changed by BUILTIN\\Users; run elevated, the program "
                                                    L"starts only an updater that administrators alone can change.");
}

TEST_F(FirmwareDownload, WithoutASelectedRowOrWithTheFileDialogCancelledTheCommandEndsSilently) {
  struct Silent {
    const char* what;
    bool rowSelected;
    std::wstring chooseFile;  // empty: the dialog is cancelled
    int fileDialogs;
  };
  const Silent cases[] = {{"no row selected", false, ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED), 0},
                          {"file dialog cancelled", true, L"", 1}};
  for (const Silent& silent : cases) {
    SCOPED_TRACE(silent.what);
    if (silent.rowSelected) {
      SelectDockRow();
    } else {
      ClearSelection();
    }
    DriverPlan plan;
    plan.chooseFile = silent.chooseFile;
    const UpdateRun run = RunFirmwareDownload(plan);
    EXPECT_EQ(run.seen.fileDialogs, silent.fileDialogs);
    EXPECT_TRUE(run.seen.boxes.empty());
    EXPECT_TRUE(run.seen.waits.empty());
    EXPECT_EQ(run.log, (std::vector<LogRecord>{{"info", "FWDownload"},
                                               {"info", "FWDownload " + Utf8(ToolBesideProgram())}}));
    ExpectBackToIdle(run);
  }
}

TEST_F(FirmwareDownload, ShortOrUnsignedImagesAreRefused) {
  const std::string neverRun = "record " + Utf8(folder_) + "ran.txt\nout " + TOOL_COMPLETED;
  struct Refused {
    const wchar_t* name;
    size_t size;
    std::string signature;
  };
  const Refused cases[] = {
      {L"empty.bin", 0, ""},
      {L"short-1023.bin", 1023, "FWCT"},
      {L"lower-case.bin", 4096, "fwct"},
      {L"fourth-byte-t.bin", 4096, "FWCt"},
      {L"fourth-byte-x.bin", 4096, "FWCX"},
      {L"other-format.bin", 4096, "MZ\x90"},
  };
  for (const Refused& refused : cases) {
    SCOPED_TRACE(Utf8(refused.name));
    const std::wstring path = folder_ + refused.name;
    WriteImage(path, refused.size, neverRun, refused.signature);
    const UpdateRun run = Run(path);
    EXPECT_EQ(run.seen.fileDialogs, 1);
    ExpectRefusal(run, INVALID_IMAGE_TEXT);
    EXPECT_EQ(run.log.size(), 2u);  // the command's two opening lines, nothing else
  }
  {
    // A name that is the null device: it opens, but it has no size.
    SCOPED_TRACE("nul.bin");
    const UpdateRun run = Run(folder_ + L"nul.bin");
    EXPECT_EQ(run.seen.fileDialogs, 1);
    ExpectRefusal(run, INVALID_IMAGE_TEXT);
  }
  EXPECT_FALSE(FileExists((folder_ + L"ran.txt").c_str())) << "the tool ran for a refused image";
}

TEST_F(FirmwareDownload, ImagesOfAtLeast1024BytesWithTheSignatureAreAcceptedWhateverTheirExtension) {
  const std::string script = "out " + TOOL_COMPLETED;
  struct Accepted {
    const wchar_t* name;
    size_t size;
  };
  for (const Accepted& accepted : {Accepted{L"exactly-1024.bin", 1024}, Accepted{L"other-extension.img", 2048}}) {
    SCOPED_TRACE(Utf8(accepted.name));
    const std::wstring path = folder_ + accepted.name;
    WriteImage(path, accepted.size, script);
    const UpdateRun run = Run(path);
    ExpectWorkerLog(run, path, {TOOL_COMPLETED + "\r\n"});
    ExpectOutcome(run, Unchanged());
  }
}

// The tool is given the chosen image's copy in a folder of the update's own,
// by its full path, under the chosen file's own name (spaces and non-ASCII
// names unchanged); the copy is gone once the update has ended.
TEST_F(FirmwareDownload, ToolGetsTheFixedCommandLineWithTheChosenImagesCopy) {
  const std::wstring spaced = folder_ + L"fw images\\";
  const std::wstring nonAscii = folder_ + L"固件\\";
  CreateDirectoryW(spaced.c_str(), nullptr);
  CreateDirectoryW(nonAscii.c_str(), nullptr);
  const std::wstring record = folder_ + L"command-line.txt";
  const std::string script = "record " + Utf8(record) + "\nout " + TOOL_COMPLETED;
  for (const std::wstring& image : {folder_ + L"plain.bin", spaced + L"dock fw v2.bin", nonAscii + L"新固件.bin"}) {
    SCOPED_TRACE(Utf8(image));
    DeleteFileW(record.c_str());
    WriteImage(image, 4096, script);
    const UpdateRun run = Run(image);
    const std::string copyLine = "FWDownload image copy ";
    const auto copied = std::find_if(run.log.begin(), run.log.end(),
                                     [&](const LogRecord& line) { return line.message.rfind(copyLine, 0) == 0; });
    ASSERT_NE(copied, run.log.end());
    const std::wstring copy = Wide(copied->message.substr(copyLine.size()));
    EXPECT_EQ(copy.substr(copy.find_last_of(L'\\')), image.substr(image.find_last_of(L'\\')));
    EXPECT_EQ(testsupport::ReadFileBytes(record), ExpectedCommandLine(ToolBesideProgram(), copy));
    EXPECT_FALSE(FileExists(copy.c_str()));
    ExpectWorkerLog(run, image, {TOOL_COMPLETED + "\r\n"});
    ExpectOutcome(run, Unchanged());
  }
}

TEST_F(FirmwareDownload, WaitDialogIsUpCentredAndDeafToKeysClosesAndASecondDownloadWhileTheToolRuns) {
  // The tool holds until the wait dialog has been looked at, so what is seen
  // is the running update, not the outcome box.
  const std::wstring gateName = L"Local\\varnock-update-test-gate-" + std::to_wstring(GetCurrentProcessId());
  HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, gateName.c_str());
  ASSERT_NE(gate, nullptr);
  const std::wstring image =
      ScriptedImage(L"gated.bin", "out started\nwaitevent " + Utf8(gateName) + "\nout " + TOOL_COMPLETED);
  RECT home{};
  GetWindowRect(mainWindow_, &home);
  // Where the program starts, then partly off the screen at the top left.
  for (const POINT origin : {POINT{home.left, home.top}, POINT{-150, -60}}) {
    SCOPED_TRACE(std::to_string(origin.x) + "," + std::to_string(origin.y));
    SetWindowPos(mainWindow_, nullptr, origin.x, origin.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ResetEvent(gate);
    SelectDockRow();
    DriverPlan plan;
    plan.chooseFile = image;
    plan.releaseAfterWaitDialog = gate;
    plan.postSecondDownload = true;
    UpdateRun run = RunFirmwareDownload(plan);
    // The second command is refused at once, in the log only; the rest is the first update's.
    const std::vector<LogRecord> refusal{{"info", "FWDownload"}, {"error", "FWDownload refused: an update is running"}};
    const auto refused = std::search(run.log.begin(), run.log.end(), refusal.begin(), refusal.end());
    ASSERT_NE(refused, run.log.end()) << "no refusal of the second firmware download";
    run.log.erase(refused, refused + 2);
    EXPECT_EQ(run.seen.fileDialogs, 1);
    ExpectOutcome(run, Unchanged());
    ASSERT_EQ(run.seen.waits.size(), 1u);
    const WaitSeen& wait = run.seen.waits[0];
    EXPECT_EQ(wait.owner, mainWindow_);
    EXPECT_FALSE(wait.ownerEnabled);
    EXPECT_FALSE(wait.workerBoxOpen);
    EXPECT_EQ(wait.text, ExpectedWaitText());
    EXPECT_TRUE(wait.keysDone);
    EXPECT_TRUE(wait.survivedKeys) << "a key, Alt+F4 or a stray WM_CLOSE ended the wait dialog";
    const LONG width = wait.rect.right - wait.rect.left;
    const LONG height = wait.rect.bottom - wait.rect.top;
    EXPECT_EQ(wait.ownerRect.left, origin.x);
    EXPECT_EQ(wait.rect.left, origin.x + ((wait.ownerRect.right - wait.ownerRect.left) - width) / 2);
    EXPECT_EQ(wait.rect.top, origin.y + ((wait.ownerRect.bottom - wait.ownerRect.top) - height) / 2);
    EXPECT_GT(width, 0);
    // The handle stays published after the dialog has ended.
    EXPECT_EQ(LastWaitDialog(), wait.dialog);
    ExpectWorkerLog(run, image, {"started\r\n", TOOL_COMPLETED + "\r\n"});
  }
  SetWindowPos(mainWindow_, nullptr, home.left, home.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  CloseHandle(gate);
}

namespace {

std::wstring ControlText(HWND dialog, int id) {
  wchar_t text[2048] = {};
  GetDlgItemTextW(dialog, id, text, 2048);
  return text;
}

// The wait dialog of the update about to run, once it has published itself.
// The last run's handle stays published until the new run clears it, and
// the system may give its number to another window (the open-file dialog).
HWND RunningWaitDialog(HWND stale) {
  HWND dialog = nullptr;
  bool cleared = false;
  testsupport::WaitUntil([&] {
    dialog = LastWaitDialog();
    cleared = cleared || dialog == nullptr;
    return (cleared || dialog != stale) && dialog != nullptr && IsWindowVisible(dialog) &&
           GetDlgItem(dialog, IDC_WAIT_PROGRESS) != nullptr;
  }, std::chrono::seconds(20));
  return dialog;
}

// What a watcher saw of the running wait dialog before it let the tool go on.
struct BoxLook {
  bool found = false;
  std::wstring line;                 // the output line once it showed, or the last one seen
  bool lineShown = false;
  bool elapsedAdvanced = false;
  std::wstring firstElapsed;
  ULONGLONG msBeforeFirstLook = 0;   // from before the command was sent until firstElapsed was read
  bool marquee = false;
  std::vector<int> clipped;          // static controls whose text does not fit
  int unanswered = 0;                // SendMessageTimeout probes the box did not answer in time
  bool forgedShown = false;          // a line message from elsewhere was shown
  int probes = 0;
};

// Does the text of each static control fit inside it, wrapped as it draws?
std::vector<int> ClippedStatics(HWND dialog) {
  std::vector<int> clipped;
  for (const int id : {IDC_WAIT_TEXT, IDC_WAIT_ELAPSED, IDC_WAIT_OUTPUT, IDC_WAIT_WARNING}) {
    HWND control = GetDlgItem(dialog, id);
    RECT client{};
    GetClientRect(control, &client);
    const std::wstring text = ControlText(dialog, id);
    HDC dc = GetDC(control);
    const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT need{0, 0, client.right, 0};
    const UINT wrap = id == IDC_WAIT_OUTPUT ? DT_SINGLELINE : DT_WORDBREAK;
    DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | DT_NOPREFIX | wrap);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    if (need.right > client.right || need.bottom > client.bottom) clipped.push_back(id);
  }
  return clipped;
}

// Watches the box until `lineShows` holds for its output line and its
// elapsed time has moved on, probing that it answers, then sets `gate`.
BoxLook WatchWaitDialog(const std::function<bool(const std::wstring&)>& lineShows, HANDLE gate, HWND stale) {
  BoxLook look;
  const ULONGLONG watchBegan = GetTickCount64();  // before the command that opens the box
  HWND dialog = RunningWaitDialog(stale);
  look.found = dialog != nullptr;
  if (look.found) {
    look.firstElapsed = ControlText(dialog, IDC_WAIT_ELAPSED);
    look.msBeforeFirstLook = GetTickCount64() - watchBegan;
    look.marquee = (GetWindowLongW(GetDlgItem(dialog, IDC_WAIT_PROGRESS), GWL_STYLE) & PBS_MARQUEE) != 0;
    // Line messages not posted by the worker name no text of the box's: they
    // are ignored, neither shown nor freed.
    const std::wstring forged = L"forged line";
    PostMessageW(dialog, WM_APP_WAIT_LINE, 0, reinterpret_cast<LPARAM>(&forged));
    PostMessageW(dialog, WM_APP_WAIT_LINE, 0, 0x5A5A5A5A);
    testsupport::WaitUntil([&] {
      DWORD_PTR answer = 0;
      ++look.probes;
      if (SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer) == 0) ++look.unanswered;
      look.line = ControlText(dialog, IDC_WAIT_OUTPUT);
      look.forgedShown = look.forgedShown || look.line == forged;
      look.lineShown = look.lineShown || lineShows(look.line);
      look.elapsedAdvanced = look.elapsedAdvanced || ControlText(dialog, IDC_WAIT_ELAPSED) != look.firstElapsed;
      return look.lineShown && look.elapsedAdvanced;
    }, std::chrono::seconds(90));
    look.clipped = ClippedStatics(dialog);
  }
  SetEvent(gate);
  return look;
}

}  // namespace

TEST_F(FirmwareDownload, WaitDialogShowsTheLatestLineTheElapsedTimeAMarqueeAndTheWarningWhileTheToolWorks) {
  const ToolGate gate(L"line");
  ASSERT_NE(gate.Get(), nullptr);
  const std::string longLine(600, 'w');
  struct Case {
    const char* what;
    std::string output;                      // the tool's script before it waits
    std::function<bool(const std::wstring&)> shows;
  };
  const Case cases[] = {
      {"a line, then silence", "out Erasing\nout Writing image: 50%\nout    \n",
       [](const std::wstring& line) { return line == L"Writing image: 50%"; }},
      {"a line too long for the box",
       "out " + longLine + "\n",
       [](const std::wstring& line) {
         return line.size() > 10 && line.size() < 600 && line.back() == L'\u2026' &&
                line.find_first_not_of(L'w') == line.size() - 1;
       }},
      // No UTF-8: decoded with the ANSI code page, whichever it is (1252, 936).
      {"an ANSI line", "raw caf\xE9\xBA\n",
       [](const std::wstring& line) {
         return line.size() >= 4 && line.rfind(L"caf", 0) == 0 && line[3] > 0x7F && line.find(L'\uFFFD') == std::wstring::npos;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetEvent(gate.Get());
    const std::wstring image = ScriptedImage(L"line.bin", c.output + gate.Script() + "out " + TOOL_COMPLETED);
    BoxLook look;
    const HWND stale = LastWaitDialog();
    const UpdateRun run = RunWatched(image, [&] { look = WatchWaitDialog(c.shows, gate.Get(), stale); });
    ASSERT_TRUE(look.found);
    EXPECT_TRUE(look.lineShown) << Utf8(look.line);
    EXPECT_TRUE(look.elapsedAdvanced) << "elapsed stayed " << Utf8(look.firstElapsed);
    // The clock counts from the box's opening: never more than the time since the command.
    unsigned minutes = 99, seconds = 99;
    EXPECT_EQ(swscanf(look.firstElapsed.c_str(), L"%u:%2u", &minutes, &seconds), 2) << Utf8(look.firstElapsed);
    EXPECT_LE((minutes * 60 + seconds) * 1000ull, look.msBeforeFirstLook + 20) << Utf8(look.firstElapsed);
    EXPECT_TRUE(look.marquee);
    EXPECT_EQ(look.clipped, std::vector<int>{});
    EXPECT_EQ(look.unanswered, 0);
    EXPECT_FALSE(look.forgedShown);
    ExpectOutcome(run, Unchanged());
  }
}

namespace {

// Line messages the UI thread took from its queue, seen by a message hook.
std::atomic<int> g_lineMessages{0};
LRESULT CALLBACK CountLineMessages(int code, WPARAM wParam, LPARAM lParam) {
  const auto* message = reinterpret_cast<const MSG*>(lParam);
  if (code == HC_ACTION && wParam == PM_REMOVE && message->message == WM_APP_WAIT_LINE) ++g_lineMessages;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// What a watcher saw of the box while the tool printed a flood of output.
struct FloodLook {
  bool found = false;
  int repaints = 0;        // invalidations the box painted
  int unpainted = 0;       // invalidations still unpainted after 5 s (a hung box)
  int unanswered = 0;      // WM_NULL probes unanswered after 5 s
  bool lastLineShown = false;
  int lineMessages = 0;
  double seconds = 0;      // how long the watcher counted line messages
  std::wstring line;       // the line last seen
  DWORD error = 0;         // why the last probe went unanswered
};

// A window that is gone paints nothing.
bool Painted(HWND window) { return IsWindow(window) && GetUpdateRect(window, nullptr, FALSE) == FALSE; }

// Asks the box to repaint itself and its controls again and again, until the
// line printed after the flood shows; then lets the tool finish. The tool
// starts its flood when `start` is set, once the count has begun.
FloodLook WatchFlood(const std::wstring& lastLine, HANDLE start, HANDLE gate, HWND stale) {
  FloodLook look;
  HWND dialog = RunningWaitDialog(stale);
  look.found = dialog != nullptr;
  if (look.found) {
    g_lineMessages = 0;
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, CountLineMessages, nullptr,
                                   GetWindowThreadProcessId(dialog, nullptr));
    const auto began = std::chrono::steady_clock::now();
    SetEvent(start);
    HWND output = GetDlgItem(dialog, IDC_WAIT_OUTPUT);
    testsupport::WaitUntil([&] {
      RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      const bool painted =
          testsupport::WaitUntil([&] { return Painted(dialog) && Painted(output); }, std::chrono::seconds(5));
      ++(painted ? look.repaints : look.unpainted);
      DWORD_PTR answer = 0;
      if (SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer) == 0) {
        ++look.unanswered;
        look.error = GetLastError();
      }
      look.line = ControlText(dialog, IDC_WAIT_OUTPUT);
      look.lastLineShown = look.line == lastLine;
      return look.lastLineShown;
    }, std::chrono::seconds(90));
    look.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (hook != nullptr) UnhookWindowsHookEx(hook);
    look.lineMessages = g_lineMessages.load();
  }
  SetEvent(start);
  SetEvent(gate);
  return look;
}

}  // namespace

TEST_F(FirmwareDownload, WaitDialogKeepsRepaintingThroughTenMegabytesOfOutputAndTakesFewLineMessages) {
  const ToolGate start(L"flood-start");
  const ToolGate gate(L"flood-end");
  ASSERT_TRUE(start.Get() != nullptr && gate.Get() != nullptr);
  // The flood (its last line unfinished), a last line, then silence until
  // the watcher is done.
  const std::wstring image =
      ScriptedImage(L"flood.bin", "out Erasing\n" + start.Script() + "bulk 10485760\nout\nout Verifying\n" +
                                      gate.Script() + "out " + TOOL_COMPLETED);
  FloodLook look;
  const HWND stale = LastWaitDialog();
  const UpdateRun run =
      RunWatched(image, [&] { look = WatchFlood(L"Verifying", start.Get(), gate.Get(), stale); });
  ASSERT_TRUE(look.found);
  EXPECT_TRUE(look.lastLineShown) << Utf8(look.line);
  EXPECT_GT(look.repaints, 0);
  EXPECT_EQ(look.unpainted, 0);
  EXPECT_EQ(look.unanswered, 0) << "error " << look.error;
  // Posts are at least a tenth of a second apart; a few may have waited in
  // the queue from before the count began. Unthrottled, 10 MB in blocks of
  // at most 5 KB would be thousands.
  EXPECT_GE(look.lineMessages, 1);
  EXPECT_LE(look.lineMessages, static_cast<int>(look.seconds * 10) + 5) << look.seconds << " s";
  ExpectOutcome(run, Unchanged());
}

TEST_F(FirmwareDownload, WaitDialogLargerThanItsOwnerIsCentredWithNegativeOffsetsAndEndsOnlyWhenTheWorkerAsks) {
  // A small stand-in owner: the dialog's procedure only asks GetParent for it.
  HWND owner = CreateWindowExW(0, L"Static", L"small owner", WS_POPUP | WS_VISIBLE | WS_BORDER, 400, 300, 120, 50,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(owner, nullptr);
  DriverPlan plan;
  plan.closeWaitDialog = true;
  DialogDriver driver(plan);
  PrepareWaitDialogHandshake();
  const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), owner,
                                         WaitDialogProc, 0);
  const DriverReport seen = driver.Finish();
  DestroyWindow(owner);
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(seen.forced);
  ASSERT_EQ(seen.waits.size(), 1u);
  const WaitSeen& wait = seen.waits[0];
  EXPECT_EQ(wait.owner, owner);
  EXPECT_EQ(wait.text, ExpectedWaitText());
  EXPECT_TRUE(wait.survivedKeys);
  const LONG width = wait.rect.right - wait.rect.left;
  const LONG height = wait.rect.bottom - wait.rect.top;
  ASSERT_GT(width, 120);
  ASSERT_GT(height, 50);
  EXPECT_LT(wait.rect.left, 400);
  EXPECT_LT(wait.rect.top, 300);
  EXPECT_EQ(wait.rect.left, 400 + (120 - width) / 2);
  EXPECT_EQ(wait.rect.top, 300 + (50 - height) / 2);
  EXPECT_EQ(LastWaitDialog(), wait.dialog);
  EXPECT_FALSE(IsWindow(wait.dialog));
}

// A script line that holds the stand-in until the program has read and
// logged `block`: the next write is then a read of its own, never merged
// into this one however slowly the machine runs.
std::string AfterRead(const std::string& block) {
  std::string escaped;
  for (char c : block) escaped += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  return "waitlogged " + Utf8(testsupport::StartFolder()) + "\\basic-log.txt|" + LOG_UPDATER_READ + "\\n " + escaped +
         "\\r\\n\n";
}

TEST_F(FirmwareDownload, OutcomeIsJudgedFromAllTheToolsOutput) {
  struct Outcome {
    const char* what;
    std::string script;
    bool failed;
    std::vector<std::string> blocks;  // as the reads must see them
    std::string exitCode = "0x0";
  };
  const Outcome cases[] = {
      {"completion only", "out " + TOOL_COMPLETED, false, {TOOL_COMPLETED + "\r\n"}},
      {"failure only", "out Writing image\n" + AfterRead("Writing image\r\n") + "out " + TOOL_FAILED, true,
       {"Writing image\r\n", TOOL_FAILED + "\r\n"}},
      {"failure then completion", "out " + TOOL_FAILED + "\n" + AfterRead(TOOL_FAILED + "\r\n") + "out " + TOOL_COMPLETED, false,
       {TOOL_FAILED + "\r\n", TOOL_COMPLETED + "\r\n"}},
      {"completion then failure", "out " + TOOL_COMPLETED + "\n" + AfterRead(TOOL_COMPLETED + "\r\n") + "out " + TOOL_FAILED, true,
       {TOOL_COMPLETED + "\r\n", TOOL_FAILED + "\r\n"}},
      {"neither", "out Writing image: 100%", false, {"Writing image: 100%\r\n"}},
      {"no output at all", "sleep 10", false, {}},
      {"no output, exit 3", "exit 3", true, {}, "0x3"},
      {"completion, exit 3", "out " + TOOL_COMPLETED + "\nexit 3", false, {TOOL_COMPLETED + "\r\n"}, "0x3"},
      {"progress, then a crash", "out Writing image: 10%\nexit 0xC0000005", true, {"Writing image: 10%\r\n"},
       "0xC0000005"},
      {"completion, then a crash", "out " + TOOL_COMPLETED + "\nexit 0xC0000005", true, {TOOL_COMPLETED + "\r\n"},
       "0xC0000005"},
      {"a zero-length write, then the failure", "empty\nsleep 200\nempty\nsleep 200\nout " + TOOL_FAILED, true,
       {TOOL_FAILED + "\r\n"}},
      {"failure text split across two reads", "raw Firmware upd\n" + AfterRead("Firmware upd") + "raw ate failed\\n", true,
       {"Firmware upd", "ate failed\n"}},
      {"completion text split after a failure", "out " + TOOL_FAILED + "\n" + AfterRead(TOOL_FAILED + "\r\n") +
       "raw Firmware install (pha\n" + AfterRead("Firmware install (pha") + "raw se-1) completed\\n", false, {TOOL_FAILED + "\r\n", "Firmware install (pha", "se-1) completed\n"}},
      {"failure in standard error", "out Writing image\n" + AfterRead("Writing image\r\n") + "err " + TOOL_FAILED, true,
       {"Writing image\r\n", TOOL_FAILED + "\r\n"}},
      {"case matters", "out firmware update failed", false, {"firmware update failed\r\n"}},
  };
  for (const Outcome& outcome : cases) {
    SCOPED_TRACE(outcome.what);
    const std::wstring image = ScriptedImage(L"outcome.bin", outcome.script);
    const UpdateRun run = Run(image);
    ExpectWorkerLog(run, image, outcome.blocks, outcome.exitCode);
    ExpectOutcome(run, outcome.failed ? Failed() : Unchanged());
  }
}

TEST_F(FirmwareDownload, TheRunEndsWithTheUpdaterEvenWhenAProcessItStartedKeepsItsOutput) {
  // The helper holds the pipe after the updater has ended, until the run has been judged.
  const ToolGate helperEnds(L"linger");
  const std::wstring ended = folder_ + L"updater-ended.txt";
  const std::wstring image = ScriptedImage(
      L"linger.bin", "out Writing image\n" + helperEnds.LingerScript(30000) + "out " + TOOL_COMPLETED + "\nstamp " + Utf8(ended));
  const UpdateRun run = Run(image);
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  ExpectWorkerLog(run, image, {"Writing image\r\n", TOOL_COMPLETED + "\r\n"});
  // The helper inherited the flash marker too: the dock is not read beside it.
  ExpectOutcome(run, {ChineseRun() ? L"另一个固件升级正在进行中。" : L"Another firmware update is running.", WarningIcon()});
  const double afterUpdater =
      static_cast<double>(now.QuadPart - std::stoll(testsupport::ReadFileBytes(ended))) / frequency.QuadPart;
  EXPECT_LT(afterUpdater, 5.0) << "the run waited for the helper";
  helperEnds.Open();
  // The helper runs from the tool's file and holds what the updater inherited, the flash
  // marker among it: let it end before others replace that file or look at the dock.
  EXPECT_TRUE(testsupport::WaitUntil(
      [] { return CopyFileW(testsupport::WinePath(VARNOCK_STANDIN_EXE).c_str(), ToolBesideProgram().c_str(), FALSE) != FALSE; },
      std::chrono::seconds(30)));
  EXPECT_TRUE(testsupport::WaitUntil([] { return !FlashRunningAnywhere(); }, std::chrono::seconds(30)));
}

TEST_F(FirmwareDownload, EarlierFailureFollowedByMuchOtherOutputStillFails) {
  const std::wstring image = ScriptedImage(L"long.bin", "out " + TOOL_FAILED + "\nsleep 100\nbulk 200000\nout done");
  const UpdateRun run = Run(image);
  ExpectOutcome(run, Failed());
  const std::vector<std::string> blocks = LoggedBlocks(run.log);
  ASSERT_GE(blocks.size(), 3u);
  EXPECT_EQ(blocks.front(), TOOL_FAILED + "\r\n");
  // Every byte was logged, block by block, none longer than a read.
  const std::string all = Concatenated(blocks);
  EXPECT_EQ(all.size(), TOOL_FAILED.size() + 2 + 200000 + 6);
  EXPECT_EQ(all.substr(all.size() - 6), "done\r\n");
  for (const std::string& block : blocks) EXPECT_LE(block.size(), 5119u);
}

TEST_F(FirmwareDownload, ABlockOf5119BytesIsLoggedWhole) {
  std::string payload;
  for (size_t i = 0; payload.size() < 5119; ++i) payload += static_cast<char>('A' + i % 26);
  payload.back() = '#';
  const std::wstring payloadFile = folder_ + L"payload.txt";
  testsupport::WriteFileBytes(payloadFile, payload);
  std::string oneMore = payload + "!";  // 5120 bytes in one write need two reads
  const std::wstring oneMoreFile = folder_ + L"payload-5120.txt";
  testsupport::WriteFileBytes(oneMoreFile, oneMore);
  const std::wstring image = ScriptedImage(L"block.bin", "file " + Utf8(payloadFile) + "\nsleep 300\nfile " +
                                                             Utf8(oneMoreFile) + "\nsleep 300\nout " + TOOL_COMPLETED);
  const UpdateRun run = Run(image);
  ExpectWorkerLog(run, image, {payload, payload, "!", TOOL_COMPLETED + "\r\n"});
  const std::vector<std::string> blocks = LoggedBlocks(run.log);
  ASSERT_GE(blocks.size(), 3u);
  EXPECT_EQ(blocks[0], payload);  // one read takes 5119 bytes, logged whole
  EXPECT_EQ(blocks[1], payload);  // a 5120-byte write needs a second read
  ExpectOutcome(run, Unchanged());
}

// The log keeps every byte: a NUL is written as "\x00", and what follows it
// in the block is logged too.
TEST_F(FirmwareDownload, ABlockWithANulIsLoggedWholeAndJudgedWhole) {
  const std::wstring payloadFile = folder_ + L"with-nul.bin";
  testsupport::WriteFileBytes(payloadFile, std::string("verify\0", 7) + TOOL_FAILED + "\r\n");
  const std::wstring image = ScriptedImage(L"zero-byte.bin", "file " + Utf8(payloadFile));
  const UpdateRun run = Run(image);
  ExpectWorkerLog(run, image, {std::string("verify\0", 7) + TOOL_FAILED + "\r\n"});
  EXPECT_GE(FindRecord(run.log, "info", "ReadFile\n verify\\x00" + TOOL_FAILED + "\r\n"), 0);
  ExpectOutcome(run, Failed());
}

TEST_F(FirmwareDownload, ListShowsTheNewRevisionOnceTheToolHasFlashedTheDock) {
  const std::wstring stateFile = folder_ + L"sim-dock.ini";
  SimDockState dock;
  ASSERT_TRUE(SaveSimDockState(stateFile, dock));
  SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", stateFile.c_str());
  SimDockUseStateFile();
  RefreshDeviceList();
  ASSERT_EQ(ListRowCount(DeviceListWindow()), 1);
  EXPECT_EQ(ListReadCell(DeviceListWindow(), 0, 3), L"1.2.3.4");

  const std::wstring image = folder_ + L"dock-fw-2.0.1.7.bin";
  WriteImage(image, 4096, "out Writing image\nflash\nout " + TOOL_COMPLETED, "FWCT", {2, 0, 1, 7});
  const UpdateRun run = Run(image);
  ExpectOutcome(run, Updated(L"1.2.3.4", L"2.0.1.7"));
  EXPECT_EQ(ListRowCount(DeviceListWindow()), 1);
  EXPECT_EQ(ListReadCell(DeviceListWindow(), 0, 3), L"2.0.1.7");
}

// The dock's arrival, as the system tells it, sent to the window from another thread.
void SendDockArrival(HWND window) {
  const std::wstring path = L"\\\\?\\USB#VID_3A7D&PID_B070#VN-2026-0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  const size_t bytes = nameOffset + (path.size() + 1) * sizeof(wchar_t);
  std::vector<std::uint64_t> storage((bytes + 7) / 8, 0);
  auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
  record->dbcc_size = static_cast<DWORD>(bytes);
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(record));
}

std::wstring WaitLineNow() {
  wchar_t text[256] = {};
  GetDlgItemTextW(LastWaitDialog(), IDC_WAIT_OUTPUT, text, 256);
  return text;
}

TEST_F(FirmwareDownload, AfterTheUpdatersSuccessTheBoxTellsWhatTheDockSays) {
  const std::wstring stateFile = folder_ + L"sim-dock.ini";
  SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", stateFile.c_str());
  SimDockUseStateFile();
  const std::wstring waitNote = ChineseRun() ? L"正在等待扩展坞重新启动…" : L"Waiting for the dock to restart…";
  using std::chrono::milliseconds;
  struct Case {
    const char* what;
    std::string script;
    milliseconds limit;  // the window's wait for the dock
    Told told;
    LogRecord outcome;   // the outcome's own log line
    std::wstring row;    // FwRev of the row afterwards; empty: no row
    bool wentAway;       // the dock was off the bus while the window waited
    int mostLooks;       // it was asked at most this often
  };
  const std::string done = "out " + TOOL_COMPLETED;
  const Case cases[] = {
      {"completion, the version unchanged", done, milliseconds(2000), Unchanged(),
       {"error", "FWDownload dock after flash still reports 1.2.3.4"}, L"1.2.3.4", false, 4},
      // Restarts last a count of the window's looks, not a time a late first look could miss.
      {"a restart of four looks, then the new version", "flash\nrebootlooks 4\n" + done, milliseconds(30000),
       Updated(L"1.2.3.4", L"1.3.0.0"), {"info", "FWDownload dock after flash 1.2.3.4 -> 1.3.0.0"}, L"1.3.0.0", true, 5},
      {"a restart, back with the old version", "rebootlooks 2\n" + done, milliseconds(30000), Unchanged(),
       {"error", "FWDownload dock after flash still reports 1.2.3.4"}, L"1.2.3.4", true, 3},
      {"the dock stays away", "flash\nreboot 600000\n" + done, milliseconds(3000), NoAnswer(3),
       {"error", "FWDownload dock after flash did not answer within 3 s"}, L"", true, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(SaveSimDockState(stateFile, SimDockState{}));
    RefreshDeviceList();
    const DockProofLimitForTest limit(c.limit);
    const std::wstring image = ScriptedImage(L"proof.bin", c.script);
    // The dock "arrives" while the window waits for it: the list must not be read under the user's eyes.
    std::atomic<bool> plugged{false};
    // Logoff is held only while the updater runs: during the wait for the dock it may go on.
    std::atomic<bool> sessionAsked{false};
    std::atomic<DWORD_PTR> sessionMayEnd{FALSE};
    std::thread plug([&] {
      if (testsupport::WaitUntil([&] { return WaitLineNow() == waitNote; }, std::chrono::seconds(30))) {
        DWORD_PTR answer = FALSE;
        sessionAsked.store(SendMessageTimeoutW(mainWindow_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                                               5000, &answer) != 0);
        sessionMayEnd.store(answer);
        SendDockArrival(mainWindow_);
        plugged.store(true);
      }
    });
    SelectDockRow();
    DriverPlan plan;
    plan.chooseFile = image;
    plan.pressKeys = false;
    plan.limit = std::chrono::seconds(60);
    plan.holdOutcomeBoxTicks = 2;  // the clock would have moved a second on
    const UpdateRun run = RunFirmwareDownload(plan);
    plug.join();
    ExpectOutcome(run, c.told);
    ASSERT_EQ(run.seen.boxes.size(), 1u);
    EXPECT_EQ(run.seen.boxes[0].waitLine, waitNote);
    EXPECT_TRUE(run.seen.boxes[0].clockTicksCounted);
    EXPECT_EQ(run.seen.boxes[0].elapsedAtBox, run.seen.boxes[0].elapsedLater) << "the clock ran on behind the box";
    EXPECT_TRUE(plugged.load());
    EXPECT_TRUE(sessionAsked.load());
    EXPECT_NE(sessionMayEnd.load(), static_cast<DWORD_PTR>(FALSE)) << "logoff refused during the wait for the dock";
    EXPECT_LT(FindRecord(run.log, "info", LOG_SESSION_END_REFUSED), 0);

    const int end = FindRecord(run.log, "info", "RealFWDownload end");
    const int told = FindRecord(run.log, c.outcome.level, c.outcome.message);
    ASSERT_GT(told, end);
    int looks = 0;
    int away = 0;
    for (int i = end; i < told; ++i) {
      looks += run.log[i] == LogRecord{"info", "FWDownload QueryDock"};
      away += run.log[i] == LogRecord{"error", "libusb_open_device_with_vid_pid failed"};
      EXPECT_NE(run.log[i].message, "RefreshDeviceList") << "the list was read while the window waited for the dock";
    }
    EXPECT_GE(looks, 1);
    EXPECT_LE(looks, c.mostLooks);
    EXPECT_EQ(away > 0, c.wentAway);
    // Read again after the outcome was known, and only then.
    EXPECT_GE(FindRecord(run.log, "info", "RefreshDeviceList", static_cast<size_t>(told)), 0);
    ASSERT_EQ(ListRowCount(DeviceListWindow()), c.row.empty() ? 0 : 1);
    if (!c.row.empty()) {
      EXPECT_EQ(ListReadCell(DeviceListWindow(), 0, 3), c.row);
    }
  }
}

namespace {

// The shell's taskbar keeps its progress states to itself: no call reads
// them back, and Wine's taskbar list takes them without showing them. This
// one stands in for the shell's, registered in the window's apartment for
// the taskbar list's class, and keeps every state the program sets.
class TaskbarRecorder : public ITaskbarList3, public IClassFactory {
 public:
  struct Set {
    HWND window;
    TBPFLAG state;
    bool operator==(const Set& other) const { return window == other.window && state == other.state; }
  };
  std::vector<Set> Sets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sets_;
  }
  int Inits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inits_;
  }

  // IUnknown, for both interfaces: the object lives as long as the test.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
    } else if (iid == IID_ITaskbarList || iid == IID_ITaskbarList2 || iid == IID_ITaskbarList3) {
      *out = static_cast<ITaskbarList3*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IClassFactory
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  // ITaskbarList3 and its bases: only the init and the progress state matter.
  HRESULT STDMETHODCALLTYPE HrInit() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inits_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, TBPFLAG state) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sets_.push_back({window, state});
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG, ULONGLONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return S_OK; }

 private:
  std::mutex mutex_;
  std::vector<Set> sets_;
  int inits_ = 0;
};

}  // namespace

TEST_F(FirmwareDownload, TheTaskbarButtonShowsWorkWhileTheWaitBoxIsUpAndNothingAfterIt) {
  TaskbarRecorder taskbar;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TaskbarList, static_cast<IClassFactory*>(&taskbar), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  const ToolGate gate(L"taskbar");
  const std::wstring image = ScriptedImage(L"taskbar.bin", gate.Script() + "out " + TOOL_COMPLETED);
  std::vector<TaskbarRecorder::Set> whileUp;
  bool boxSeen = false;
  const UpdateRun run = RunWatched(image, [&] {
    boxSeen = testsupport::WaitUntil([] { return LastWaitDialog() != nullptr && IsWindowVisible(LastWaitDialog()); },
                                     std::chrono::seconds(30));
    whileUp = taskbar.Sets();
    gate.Open();
  });
  CoRevokeClassObject(cookie);
  ExpectOutcome(run, Unchanged());
  EXPECT_TRUE(boxSeen);
  EXPECT_EQ(taskbar.Inits(), 1);
  using Set = TaskbarRecorder::Set;
  EXPECT_EQ(whileUp, (std::vector<Set>{{mainWindow_, TBPF_INDETERMINATE}}));
  EXPECT_EQ(taskbar.Sets(), (std::vector<Set>{{mainWindow_, TBPF_INDETERMINATE}, {mainWindow_, TBPF_NOPROGRESS}}));
}

TEST_F(FirmwareDownload, ToolThatCannotBeStartedEndsQuietlyWithTheSameCodeInLogAndStandardOutput) {
  InstallNonProgramTool();
  const std::wstring image = ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED);
  StdoutCapture capture(folder_ + L"stdout.txt");
  SelectDockRow();
  DriverPlan plan;
  plan.chooseFile = image;
  plan.pressKeys = false;
  const UpdateRun run = RunFirmwareDownload(plan);
  const std::string printed = capture.Finish();

  ASSERT_EQ(run.seen.boxes.size(), 1u);
  EXPECT_EQ(run.seen.boxes[0].text, UPDATE_FAILED_TEXT);
  EXPECT_EQ(run.seen.boxes[0].icon, QuestionIcon());
  EXPECT_FALSE(run.seen.boxes[0].mainEnabled);
  ExpectBackToIdle(run);
  std::vector<LogRecord> log = WithoutDockRead(PowerRequestWayHidden(run.log));
  ASSERT_GE(log.size(), 11u);
  ASSERT_EQ(log[2].message.rfind("FWDownload image copy ", 0), 0u) << log[2].message;
  log[2].message = "FWDownload image copy <copy>";
  EXPECT_EQ(std::vector<LogRecord>(log.begin(), log.begin() + 10),
            (std::vector<LogRecord>{{"info", "FWDownload"},
                                    {"info", "FWDownload " + Utf8(ToolBesideProgram())},
                                    {"info", "FWDownload image copy <copy>"},
                                    {"info", "FWDownload image sha256 " + testsupport::FileSha256(image)},
                                    {"info", "FWDownload updater not signed"},
                                    {"info", "FWDownload select fwfile is " + Utf8(image)},
                                    {"info", "RealFWDownload"},
                                    {"info", POWER_REQUEST_SET + "<way>"},
                                    {"info", "RealFWDownload CreatePipe"},
                                    {"info", "RealFWDownload CreateProcess"}}));
  const LogRecord& failure = log[10];
  EXPECT_EQ(failure.level, "error");
  const std::string prefix = "CreateProcess failed ";
  ASSERT_EQ(failure.message.compare(0, prefix.size(), prefix), 0) << failure.message;
  const std::string code = failure.message.substr(prefix.size());
  ASSERT_FALSE(code.empty());
  EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_NE(code, "0");
  EXPECT_EQ(printed, "CreateProcess failed (" + code + ")\n");
  ASSERT_EQ(log.size(), 12u) << "only the cleared request after the failure: no reading, no refresh";
  EXPECT_EQ(log[11], (LogRecord{"info", "Power request cleared"}));
}

TEST_F(FirmwareDownload, CommandLineLongerThan1023UnitsIsRefusedBeforeAnythingStarts) {
  // Through the worker itself: the open-file dialog cannot return a path this long.
  const std::wstring record = folder_ + L"ran.txt";
  const std::wstring scriptFile = folder_ + L"script.txt";
  testsupport::WriteFileBytes(scriptFile, "record " + Utf8(record) + "\nout " + TOOL_COMPLETED + "\n");
  SetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", scriptFile.c_str());
  const std::wstring tool = ToolBesideProgram();
  const auto imageForLine = [&](size_t lineLength) {
    const size_t imageLength = lineLength - tool.size() - 33;
    std::wstring image = folder_ + L"long-";
    image += std::wstring(imageLength - image.size() - 4, L'x') + L".bin";
    return image;
  };
  for (const size_t length : {size_t{1024}, size_t{1023}}) {
    SCOPED_TRACE(length);
    DeleteFileW(record.c_str());
    const std::wstring image = imageForLine(length);
    const size_t mark = testsupport::LogMark();
    DialogDriver driver(DriverPlan{});
    EnableWindow(mainWindow_, FALSE);
    PrepareWaitDialogHandshake();
    std::thread(RealFWDownload, image, mainWindow_, tool, nullptr).detach();
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), mainWindow_, WaitDialogProc, 0);
    EXPECT_TRUE(WaitUntilIdle());
    const DriverReport seen = driver.Finish();
    const std::vector<LogRecord> log = testsupport::RecordsSince(mark);

    EXPECT_FALSE(seen.forced);
    EXPECT_TRUE(IsWindowEnabled(mainWindow_));
    EXPECT_TRUE(ProcessDialogs().empty());
    EXPECT_EQ(seen.waits.size(), 1u);
    ASSERT_EQ(seen.boxes.size(), 1u);
    EXPECT_EQ(seen.boxes[0].caption, testsupport::APP_TITLE);
    EXPECT_FALSE(seen.boxes[0].onUiThread);
    EXPECT_EQ(seen.boxes[0].owner, mainWindow_);
    if (length == 1024) {
      EXPECT_EQ(seen.boxes[0].text, UPDATE_FAILED_TEXT);
      EXPECT_EQ(seen.boxes[0].icon, QuestionIcon());
      EXPECT_EQ(WithoutDockRead(PowerRequestWayHidden(log)), (std::vector<LogRecord>{{"info", "RealFWDownload"},
                                                                     {"info", POWER_REQUEST_SET + "<way>"},
                                                                     {"error", "RealFWDownload command line too long 1024"},
                                                                     {"info", "Power request cleared"}}));
      EXPECT_FALSE(FileExists(record.c_str())) << "the tool was started";
    } else {
      // The longest line that fits reaches the tool whole.
      EXPECT_EQ(seen.boxes[0].text, Unchanged().text);
      const std::string received = testsupport::ReadFileBytes(record);
      EXPECT_EQ(received.size(), 1023u);
      EXPECT_EQ(received, ExpectedCommandLine(tool, image));
      EXPECT_GE(FindRecord(log, "info", "RealFWDownload end"), 0);
    }
  }
}

TEST_F(FirmwareDownload, WorkerEnablesTheWindowItselfOnEveryWayOut) {
  // No wait dialog here. The end of a modal dialog or message box enables its
  // owner as well, so the ways out without a box are the ones that show the
  // worker's guard doing it; the others show that the box is still answered.
  const std::wstring tool = ToolBesideProgram();
  const std::wstring image = ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED);
  const std::wstring tooLong = folder_ + std::wstring(1100, L'x') + L".bin";
  struct WayOut {
    const char* what;
    std::function<void()> worker;
    size_t boxes;
  };
  const WayOut ways[] = {
      {"tool runs", [&] { RealFWDownload(image, mainWindow_, tool); }, 1},
      {"command line too long", [&] { RealFWDownload(tooLong, mainWindow_, tool); }, 1},
      {"tool cannot start", [&] { RealFWDownload(image, mainWindow_, folder_ + L"no-such-tool.exe"); }, 1},
      {"exception", [&] {
         try {
           WaitDialogGuard guard(mainWindow_);
           throw std::runtime_error("unwinding");
         } catch (const std::runtime_error&) {
         }
       }, 0},
  };
  for (const WayOut& way : ways) {
    SCOPED_TRACE(way.what);
    DriverPlan plan;
    plan.waitDialogExpected = false;
    DialogDriver driver(plan);
    StdoutCapture quiet(folder_ + L"stdout.txt");
    EnableWindow(mainWindow_, FALSE);
    std::atomic<bool> done{false};
    std::thread worker([&] {
      way.worker();
      done.store(true);
    });
    // The worker's EnableWindow is a message to this thread: keep pumping.
    EXPECT_TRUE(testsupport::PumpUntil([&] { return done.load(); }, std::chrono::seconds(20)));
    worker.join();
    quiet.Finish();
    const DriverReport seen = driver.Finish();
    EXPECT_TRUE(IsWindowEnabled(mainWindow_));
    EXPECT_EQ(seen.boxes.size(), way.boxes);
    EXPECT_TRUE(seen.waits.empty());
    EnableWindow(mainWindow_, TRUE);
    WaitUntilIdle();
  }
}

TEST_F(FirmwareDownload, WorkerThatFailsAtOnceNeverLeavesTheWaitDialogOpen) {
  // A worker whose tool cannot start ends at once, possibly before the wait
  // dialog has published its handle: the close request must still reach it.
  // The UI thread is held back before the dialog by a delay that sweeps from
  // none to 20 ms, as a busy UI thread would be, so the worker ends before,
  // while and after the dialog is created.
  InstallNonProgramTool();
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  const std::wstring tool = ToolBesideProgram();
  const std::wstring image = folder_ + L"image.bin";
  constexpr int RUNS = 200;
  constexpr int FORCED_EVERY = 4;  // these runs wait for the worker to end before the dialog exists
  int workerFirst = 0;
  for (int i = 0; i < RUNS; ++i) {
    StdoutCapture quiet(folder_ + L"stdout.txt");
    DriverPlan plan;
    plan.pressKeys = false;
    plan.limit = std::chrono::seconds(5);
    plan.waitDialogExpected = false;  // the failure box is answered at once, so the worker may end first
    DialogDriver driver(plan);
    EnableWindow(mainWindow_, FALSE);
    PrepareWaitDialogHandshake();
    std::thread(RealFWDownload, image, mainWindow_, tool, nullptr).detach();
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    const LONGLONG delay = frequency.QuadPart * (i % 2 == 0 ? 0 : (i / 2) % 40) / 2000;  // steps of 0.5 ms
    for (LARGE_INTEGER now = start; now.QuadPart - start.QuadPart < delay;) QueryPerformanceCounter(&now);
    if (i % FORCED_EVERY == FORCED_EVERY - 1) {
      ASSERT_TRUE(testsupport::WaitUntil([&] { return IsWindowEnabled(mainWindow_) != FALSE; })) << "run " << i;
    }
    // The worker enables the window right after its close request: enabled
    // now means the request was made before this dialog existed.
    if (IsWindowEnabled(mainWindow_)) ++workerFirst;
    const INT_PTR result =
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), mainWindow_, WaitDialogProc, 0);
    const bool idle = WaitUntilIdle(std::chrono::seconds(5));
    const DriverReport seen = driver.Finish();
    const std::string printed = quiet.Finish();
    ASSERT_EQ(printed.rfind("CreateProcess failed (", 0), 0u) << "run " << i << ": " << printed;
    ASSERT_FALSE(seen.forced) << "run " << i << ": the wait dialog stayed open";
    ASSERT_TRUE(idle) << "run " << i;
    ASSERT_EQ(result, 0) << "run " << i;
    ASSERT_TRUE(IsWindowEnabled(mainWindow_)) << "run " << i;
    ASSERT_EQ(seen.boxes.size(), 1u) << "run " << i;
    ASSERT_EQ(seen.boxes[0].text, UPDATE_FAILED_TEXT) << "run " << i;
  }
  std::cout << "worker ended before the wait dialog existed in " << workerFirst << " of " << RUNS << " runs\n";
  // The late path, a dialog that ends itself because the request came first, really ran.
  EXPECT_GE(workerFirst, RUNS / FORCED_EVERY);
  ::testing::Test::RecordProperty("worker_first", workerFirst);
}

TEST_F(FirmwareDownload, WorkerThatFailsAtOnceThroughTheCommandLeavesNoWaitDialog) {
  InstallNonProgramTool();
  const std::wstring image = ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    DriverPlan plan;
    plan.chooseFile = image;
    plan.pressKeys = false;
    plan.limit = std::chrono::seconds(8);
    SelectDockRow();
    StdoutCapture quiet(folder_ + L"stdout.txt");
    const UpdateRun run = RunFirmwareDownload(plan);
    EXPECT_EQ(quiet.Finish().rfind("CreateProcess failed (", 0), 0u);
    ASSERT_EQ(run.seen.boxes.size(), 1u);
    EXPECT_EQ(run.seen.boxes[0].text, UPDATE_FAILED_TEXT);
    ExpectBackToIdle(run);
    int failures = 0;
    for (const LogRecord& record : run.log) {
      if (record.level == "error" && record.message.rfind("CreateProcess failed ", 0) == 0) ++failures;
    }
    EXPECT_EQ(failures, 1);
  }
}

TEST_F(FirmwareDownload, WorkerThatThrowsStillClosesTheBoxAndEnablesTheWindow) {
  // A path of 1.4 MB: the worker's first large allocation fails and throws.
  const std::wstring image = folder_ + std::wstring(700000, L'x') + L".bin";
  const size_t mark = testsupport::LogMark();
  DriverPlan plan;
  plan.pressKeys = false;
  plan.limit = std::chrono::seconds(10);
  DialogDriver driver(plan);
  ASSERT_TRUE(TryBeginUpdate());
  EnableWindow(mainWindow_, FALSE);
  PrepareWaitDialogHandshake();
  g_bigAllocationsFailExceptOn.store(GetCurrentThreadId());
  std::thread(UpdateWorker, image, mainWindow_, ToolBesideProgram(), nullptr).detach();
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_WAIT_DIALOG), mainWindow_, WaitDialogProc, 0);
  const bool idle = WaitUntilIdle();
  g_bigAllocationsFailExceptOn.store(0);
  const DriverReport seen = driver.Finish();
  const std::vector<LogRecord> log = testsupport::RecordsSince(mark);

  EXPECT_FALSE(seen.forced) << "the wait dialog stayed open";
  EXPECT_TRUE(idle);
  EXPECT_TRUE(IsWindowEnabled(mainWindow_));
  EXPECT_FALSE(UpdateRunning()) << "the guard did not end the update";
  ASSERT_EQ(seen.boxes.size(), 1u);
  EXPECT_EQ(seen.boxes[0].text, UPDATE_FAILED_TEXT);
  // Thrown before the updater was started: logged as an internal error, and the failure box came.
  EXPECT_EQ(WithoutDockRead(PowerRequestWayHidden(log)),
            (std::vector<LogRecord>{{"info", "RealFWDownload"}, {"error", "Internal error: std::bad_alloc"}}));
}

TEST_F(FirmwareDownload, AnUpdateRunningFromTheCommandLineMakesTheWindowRefuse) {
  // The demo program updating from the command line, held inside its updater run.
  const std::wstring other = testsupport::FreshFolder(L"command-line-update");
  const std::wstring demo = testsupport::BuildFolder() + L"demo\\";
  for (const wchar_t* file : {L"VarnockFWUpdate-demo.exe", L"varnock_dockupdatefw.exe"}) {
    ASSERT_TRUE(CopyFileW((demo + file).c_str(), (other + file).c_str(), FALSE));
  }
  testsupport::WriteFileBytes(other + L"sim-dock.ini", "present=1\nfirmware=1.2.3.4\n");
  const std::wstring gateName = L"Local\\varnock-command-line-gate-" + std::to_wstring(GetCurrentProcessId());
  HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, gateName.c_str());
  ASSERT_NE(gate, nullptr);
  const std::wstring running = other + L"running.txt";
  WriteImage(other + L"held.bin", 4096, "stamp " + Utf8(running) + "\nwaitevent " + Utf8(gateName) + "\nflash\nout " + TOOL_COMPLETED);
  // The command line refuses while the program's window is open: this one is
  // retitled until the update has begun, as if it were opened only then.
  SetWindowTextW(mainWindow_, L"not yet open");
  const testsupport::ChildProcess child = testsupport::StartProcess(
      L"\"" + other + L"VarnockFWUpdate-demo.exe\" /update held.bin /wait 0", other, other + L"out.txt");
  ASSERT_NE(child.process, nullptr);
  const bool started = testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(running).empty(); },
                                              std::chrono::seconds(30));
  SetWindowTextW(mainWindow_, testsupport::APP_TITLE);
  ASSERT_TRUE(started) << testsupport::ReadFileBytes(other + L"basic-log.txt");

  const UpdateRun run = Run(ScriptedImage(L"good.bin", "out " + TOOL_COMPLETED));
  SetEvent(gate);
  EXPECT_EQ(testsupport::WaitForExit(child.process, 30000), 0u);
  CloseHandle(child.process);
  CloseHandle(gate);
  ExpectRefusal(run, ChineseRun() ? L"另一个固件升级正在进行中。" : L"Another firmware update is running.");
  EXPECT_GE(FindRecord(run.log, "error", "FWDownload refused: another firmware update is running"), 0);
  // Once it has ended, the window updates again.
  ExpectOutcome(Run(ScriptedImage(L"after.bin", "out " + TOOL_COMPLETED)), Unchanged());
}

TEST_F(FirmwareDownload, AnotherProgramsLongLookNeverFreezesTheWindowAndTheRowComesBackAfterIt) {
  // Another program holds the dock's access mutex, as a copy asking a
  // rebooting dock does again and again, until the window has tried twice
  // more on its own timer.
  const std::wstring held = folder_ + L"held.txt";
  const std::wstring script = folder_ + L"hold.txt";
  const ToolGate letGo(L"long-look");
  testsupport::WriteFileBytes(script, "lock " + Utf8(DOCK_ACCESS_NAME) + "\nstamp " + Utf8(held) + "\n" + letGo.Script() +
                                          "unlock\n");
  SetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", script.c_str());
  const testsupport::ChildProcess holder = testsupport::StartProcess(
      L"\"" + ToolBesideProgram() + L"\" -vid 3A7D -pid B070 -i \"" + folder_ + L"none.bin\" -l v");
  SetEnvironmentVariableW(L"VARNOCK_STANDIN_SCRIPT", nullptr);
  ASSERT_NE(holder.process, nullptr);
  const UniqueHandle holderProcess(holder.process);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !testsupport::ReadFileBytes(held).empty(); }, std::chrono::seconds(30)));

  // A probe every 20 ms, each given 100 ms. A wait for the guard on the
  // window's thread leaves many probes in a row unanswered; a lone miss is the
  // loaded machine's scheduler, not the window.
  std::atomic<bool> stop{false};
  std::atomic<int> probes{0};
  std::atomic<int> unanswered{0};
  std::atomic<int> longestSilence{0};  // unanswered probes in a row
  std::thread prober([&] {
    int silence = 0;
    while (!stop.load()) {
      DWORD_PTR answer = 0;
      if (SendMessageTimeoutW(mainWindow_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 100, &answer)) {
        silence = 0;
      } else {
        ++unanswered;
        longestSilence.store(std::max(longestSilence.load(), ++silence));
      }
      ++probes;
      Sleep(20);
    }
  });
  HWND status = GetDlgItem(mainWindow_, IDC_STATUSBAR);
  const std::wstring busyText = ChineseRun() ? L"扩展坞正被其他程序读取，稍后将重新读取。"
                                             : L"The dock is being read by another program; reading again shortly.";
  const size_t mark = testsupport::LogMark();
  PostMessageW(mainWindow_, WM_COMMAND, IDM_REFRESH, 0);
  // Generous: the status is set by the refresh itself; only a window that
  // waits for the dock, or never says so, takes this long.
  const bool toldBusy = testsupport::PumpUntil([&] { return testsupport::WindowText(status) == busyText; },
                                               std::chrono::seconds(20));
  const int rowsWhileHeld = ListRowCount(DeviceListWindow());
  // The first look and the retries after 1 and 2 s, all refused.
  const bool retried = testsupport::PumpUntil(
      [&] { return testsupport::CountOf(testsupport::LogSince(mark), "info RefreshDeviceList") >= 3; },
      std::chrono::seconds(30));
  letGo.Open();
  const bool holderEnded = testsupport::PumpUntil(
      [&] { return WaitForSingleObject(holderProcess.Get(), 0) == WAIT_OBJECT_0; }, std::chrono::seconds(30));
  const bool back = testsupport::PumpUntil(
      [&] { return ListRowCount(DeviceListWindow()) == 1 && testsupport::WindowText(status).empty(); },
      std::chrono::seconds(20));
  stop.store(true);
  prober.join();
  EXPECT_TRUE(toldBusy) << Utf8(testsupport::WindowText(status));
  EXPECT_TRUE(retried);
  EXPECT_EQ(rowsWhileHeld, 0);
  EXPECT_TRUE(holderEnded);
  EXPECT_TRUE(back);
  EXPECT_LE(longestSilence.load(), 1) << unanswered.load() << " of " << probes.load() << " probes unanswered";
  EXPECT_LE(unanswered.load() * 100, probes.load()) << "of " << probes.load() << " probes";
  EXPECT_GE(probes.load(), 50);
}

namespace {

// A record's time stamp in milliseconds, comparable within one run.
long long StampMs(const LogRecord& record) {
  SYSTEMTIME time{};
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  if (std::sscanf(record.stamp.c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u", &year, &month, &day, &hour, &minute, &second,
                  &ms) != 7) {
    return -1;
  }
  time = SYSTEMTIME{static_cast<WORD>(year), static_cast<WORD>(month),  0, static_cast<WORD>(day),
                    static_cast<WORD>(hour), static_cast<WORD>(minute), static_cast<WORD>(second), static_cast<WORD>(ms)};
  FILETIME file{};
  SystemTimeToFileTime(&time, &file);
  return static_cast<long long>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32 | file.dwLowDateTime) / 10000);
}

}  // namespace

TEST_F(FirmwareDownload, ADockAnotherLookHoldsIsTriedAgainAfterOneTwoFourSecondsAndNeverLaterThanThirty) {
  // Another look holds the dock's access mutex until the test lets it go.
  UniqueHandle taken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread holder([&] {
    const UniqueHandle access(CreateMutexW(nullptr, FALSE, DockAccessName()));
    if (access && WaitForSingleObject(access.Get(), 10000) == WAIT_OBJECT_0) {
      SetEvent(taken.Get());
      WaitForSingleObject(release.Get(), 180000);
      ReleaseMutex(access.Get());
    }
  });
  ASSERT_EQ(WaitForSingleObject(taken.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  // Each try is a refresh (the busy dock itself is logged once, when it becomes busy).
  const std::string busy = "info RefreshDeviceList";
  const size_t mark = testsupport::LogMark();
  const auto busyLooks = [&] { return testsupport::CountOf(testsupport::LogSince(mark), busy); };
  const auto waitForLooks = [&](int count, std::chrono::seconds limit) {
    return testsupport::PumpUntil([&] { return busyLooks() >= count; }, limit);
  };
  PostMessageW(mainWindow_, WM_COMMAND, IDM_REFRESH, 0);
  // The first look, then the retries 1, 2 and 4 s later, each on the window's own timer.
  EXPECT_TRUE(waitForLooks(4, std::chrono::seconds(40)));
  // The 8- and 16-s waits are cut short by handing the window its timer at
  // once; the one after them is the longest, 30 s, not 32.
  for (int look = 5; look <= 6; ++look) {
    PostMessageW(mainWindow_, WM_TIMER, IDT_BUSY_RETRY, 0);
    EXPECT_TRUE(waitForLooks(look, std::chrono::seconds(10)));
  }
  EXPECT_TRUE(waitForLooks(7, std::chrono::seconds(60)));
  SetEvent(release.Get());
  holder.join();
  const std::vector<LogRecord> log = testsupport::RecordsSince(mark);
  std::vector<long long> times;
  for (const LogRecord& record : log) {
    if (record == LogRecord{"info", "RefreshDeviceList"}) times.push_back(StampMs(record));
  }
  ASSERT_GE(times.size(), 7u);
  EXPECT_EQ(testsupport::CountOf(testsupport::Messages(log), "error FillDataToListView skipped: the dock is busy"), 1);
  EXPECT_EQ(testsupport::CountOf(testsupport::Messages(log), "info FillDataToListView the dock guard is free again"), 0);
  // The log's stamps are wall-clock time, the timer runs on the tick count:
  // a wait may read up to a tenth short. A loaded machine hands the timer
  // over late, but not by a whole second; a wait that did not double, or
  // doubled past 30 s, is off by a second or more.
  const long long expected[] = {1000, 2000, 4000};
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(times[i + 1] - times[i], expected[i] * 9 / 10) << "wait " << i + 1;
    EXPECT_LT(times[i + 1] - times[i], expected[i] + 1000) << "wait " << i + 1;
  }
  EXPECT_GE(times[6] - times[5], 30000 - 1000);
  EXPECT_LT(times[6] - times[5], 31000) << "the wait after 16 s is the longest, 30 s";

  // Free again: the next try reads the dock, and the wait starts over at 1 s.
  PostMessageW(mainWindow_, WM_TIMER, IDT_BUSY_RETRY, 0);
  EXPECT_TRUE(testsupport::PumpUntil([&] { return ListRowCount(DeviceListWindow()) == 1; }, std::chrono::seconds(10)));
}

// The window's flash watch looks once a second. A flash that began and ended
// between two looks leaves no marker, only the machine-wide count moved: the
// window reads the dock again at its next look.
TEST_F(FirmwareDownload, AFlashThatCameAndWentBetweenTwoLooksIsReadWithinTwoSeconds) {
  SimDockSet(SimDockState{});
  RefreshDeviceList();
  ASSERT_EQ(ListReadCell(DeviceListWindow(), 0, 3), L"1.2.3.4");
  // The dock now reports what the unseen flash wrote; nothing reads it yet.
  SimDockState flashed;
  flashed.firmware[0] = 1;
  flashed.firmware[1] = 3;
  flashed.firmware[2] = 0;
  flashed.firmware[3] = 9;
  SimDockSet(flashed);
  const UniqueHandle count(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, FLASH_COUNT_NAME));
  ASSERT_TRUE(count) << "the window's flash watch holds no count, error " << GetLastError();
  ASSERT_EQ(QueryFlashMarker(), FlashMarker::Absent);
  const size_t mark = testsupport::LogMark();
  const ULONGLONG bumped = GetTickCount64();
  ASSERT_TRUE(ReleaseSemaphore(count.Get(), 1, nullptr));
  const bool reread = testsupport::PumpUntil(
      [&] { return ListRowCount(DeviceListWindow()) == 1 && ListReadCell(DeviceListWindow(), 0, 3) == L"1.3.0.9"; },
      std::chrono::seconds(10));
  const ULONGLONG took = GetTickCount64() - bumped;
  EXPECT_TRUE(reread);
  EXPECT_LE(took, 2000u) << "one look of the watch is due within a second";
  const std::vector<std::string> lines = testsupport::LogSince(mark);
  EXPECT_EQ(testsupport::CountOf(lines, "info RefreshDeviceList"), 1) << ::testing::PrintToString(lines);
  EXPECT_EQ(testsupport::CountOf(lines, "info FlashWatch firmware update in progress"), 0);
  SimDockSet(SimDockState{});
  RefreshDeviceList();
}

TEST_F(FirmwareDownload, AWindowBesideShortCommandLineFlashesReadsTheDockWithinTwoSecondsOfEach) {
  const std::wstring demo = testsupport::BuildFolder() + L"demo\\";
  for (const wchar_t* file : {L"VarnockFWUpdate-demo-cli.exe", L"varnock_dockupdatefw.exe"}) {
    ASSERT_TRUE(CopyFileW((demo + file).c_str(), (folder_ + file).c_str(), FALSE)) << Utf8(demo + file) << " " << GetLastError();
  }
  // The window and the command line see one dock.
  const std::wstring stateFile = folder_ + L"sim-dock.ini";
  ASSERT_TRUE(SaveSimDockState(stateFile, SimDockState{}));
  SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", stateFile.c_str());
  SimDockUseStateFile();
  RefreshDeviceList();
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  for (unsigned char i = 1; i <= 10; ++i) {
    SCOPED_TRACE(static_cast<int>(i));
    const std::wstring version = L"1.3.0." + std::to_wstring(i);
    const std::wstring ended = folder_ + L"ended.txt";
    DeleteFileW(ended.c_str());
    WriteImage(folder_ + L"short.bin", 4096, "flash\nout " + TOOL_COMPLETED + "\nstamp " + Utf8(ended), "FWCT", {1, 3, 0, i});
    const testsupport::ChildProcess child = testsupport::StartProcess(
        L"\"" + folder_ + L"VarnockFWUpdate-demo-cli.exe\" /update short.bin /log update.log", folder_,
        folder_ + L"out.txt", folder_ + L"err.txt");
    ASSERT_NE(child.process, nullptr);
    const UniqueHandle process(child.process);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !testsupport::ReadFileBytes(ended).empty(); },
                                       std::chrono::seconds(60)));
    const LONGLONG updaterEnded = std::stoll(testsupport::ReadFileBytes(ended));
    const bool shown = testsupport::PumpUntil(
        [&] { return ListRowCount(DeviceListWindow()) == 1 && ListReadCell(DeviceListWindow(), 0, 3) == version; },
        std::chrono::seconds(10));
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    EXPECT_TRUE(shown);
    // "Within about two seconds": the watch's next look (at most a second)
    // after the command line has let its marker go, and the read. The bound
    // leaves a loaded machine a second more; the look that came and went is
    // held to two seconds deterministically (AFlashThatCameAndWent...).
    EXPECT_LE(static_cast<double>(now.QuadPart - updaterEnded) / frequency.QuadPart, 3.0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0; },
                                       std::chrono::seconds(60)));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, 0u) << testsupport::ReadFileBytes(folder_ + L"err.txt");
  }
}

// Another copy's look holds the dock as the user starts a flash: the
// window's thread never waits for it. The wait box comes up while the look
// still holds the dock, the worker waits for the look to end, and the
// flash then runs.
TEST_F(FirmwareDownload, AnotherLookAtTheDockNeverHoldsTheWindowsThreadWhenItsFlashBegins) {
  const UniqueHandle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const std::wstring image = ScriptedImage(L"held-look.bin", "record " + Utf8(folder_) + "ran.txt\nout " + TOOL_COMPLETED);
  SelectDockRow();
  std::promise<void> taken;
  std::thread look;
  DriverPlan plan;
  plan.chooseFile = image;
  plan.pressKeys = false;
  plan.releaseAfterWaitDialog = released.Get();
  // Taken once the file is chosen, so the window's own list reads before it go on as usual.
  plan.whileFileDialogOpen = [&] {
    look = std::thread([&] {
      // The window has the mutex open already: taken by a wait, not by the initial owner flag.
      const UniqueHandle mutex(CreateMutexW(nullptr, FALSE, DOCK_ACCESS_NAME));
      WaitForSingleObject(mutex.Get(), 10000);
      taken.set_value();
      WaitForSingleObject(released.Get(), 10000);
      ReleaseMutex(mutex.Get());
    });
    taken.get_future().wait();
  };
  const UpdateRun run = RunFirmwareDownload(plan);
  look.join();
  EXPECT_EQ(WaitForSingleObject(released.Get(), 0), WAIT_OBJECT_0) << "no wait box came while the look held the dock";
  ASSERT_EQ(run.seen.waits.size(), 1u);
  EXPECT_TRUE(FileExists((folder_ + L"ran.txt").c_str())) << "the flash did not run after the look";
  ExpectOutcome(run, Unchanged());
}

// A second dock plugged in while the open-file dialog is up: the worker
// reads the dock again under the flash's guard, counts two, and flashes
// nothing; no other dock's answer could have proved the flash.
TEST_F(FirmwareDownload, ASecondDockPluggedInDuringTheFileDialogRefusesTheFlash) {
  const bool zh = ChineseRun();
  SimDockSet(SimDockState{});
  RefreshDeviceList();
  ASSERT_EQ(ListRowCount(DeviceListWindow()), 1);
  SelectDockRow();
  DriverPlan plan;
  plan.chooseFile = ScriptedImage(L"two.bin", "record " + Utf8(folder_) + "ran.txt\nflash\nout " + TOOL_COMPLETED);
  plan.whileFileDialogOpen = [] {
    SimDockState two;
    two.count = 2;
    two.serial2 = "VN-2026-0002";
    SimDockSet(two);
  };
  const UpdateRun run = RunFirmwareDownload(plan);
  ASSERT_EQ(run.seen.boxes.size(), 1u);
  EXPECT_EQ(run.seen.boxes[0].text,
            zh ? L"已连接 2 个扩展坞。请只保留要升级的那一个：升级程序无法区分要升级哪个扩展坞。"
               : L"2 docks are connected. Unplug all but the one to update: the updater cannot be told which dock to "
                 L"flash.");
  EXPECT_FALSE(FileExists((folder_ + L"ran.txt").c_str())) << "the updater ran beside a second dock";
  EXPECT_GE(FindRecord(run.log, "error", "FWDownload refused: 2 docks are connected"), 0);
  EXPECT_EQ(FindRecord(run.log, "info", "RealFWDownload CreateProcess"), -1);
  ExpectBackToIdle(run);
  SimDockSet(SimDockState{});
  RefreshDeviceList();
}

TEST_F(FirmwareDownload, TheBatteryAndTheNumberOfDocksAreCheckedBeforeTheFileDialog) {
  const bool zh = ChineseRun();
  const std::string neverRun = "record " + Utf8(folder_) + "ran.txt\nout " + TOOL_COMPLETED;
  struct Case {
    const char* what;
    std::uint8_t ac, battery;
    int count;
    int openError;               // of the first dock
    std::wstring refusal;        // empty: the update runs
    std::wstring status;         // the status bar's text meanwhile
    std::wstring serialShown;
  };
  const std::wstring twoDocks = zh ? L"已连接 2 个扩展坞。请只保留要升级的那一个：升级程序无法区分要升级哪个扩展坞。"
                                   : L"2 docks are connected. Unplug all but the one to update: the updater cannot be "
                                     L"told which dock to flash.";
  const std::wstring twoDocksStatus =
      zh ? L"已连接 2 个扩展坞；请只保留一个再升级。" : L"2 docks are connected; unplug all but one to update.";
  const Case cases[] = {
      {"on battery at 24%", 0, 24, 1, 0,
       zh ? L"电池电量为 24%，且计算机未接通电源。请连接电源适配器后再升级：升级时断电可能导致扩展坞无法使用。"
          : L"The battery is at 24% and the computer is not plugged in. Connect the power adapter, then update again: "
            L"a flash that loses power can leave the dock unusable.",
       L"", L"VN-2026-0001"},
      {"on battery at 25%", 0, 25, 1, 0, L"", L"", L"VN-2026-0001"},
      {"charging at 9%", 1, 9, 1, 0,
       zh ? L"电池电量仅为 9%，即使正在充电也过低，无法安全升级。请等电池充电后再升级：升级时断电可能导致扩展坞无法使用。"
          : L"The battery is at 9%, too low to update safely even while charging. Let it charge, then update again: a "
            L"flash that loses power can leave the dock unusable.",
       L"", L"VN-2026-0001"},
      {"charging at 10%", 1, 10, 1, 0, L"", L"", L"VN-2026-0001"},
      {"no battery", 1, 255, 1, 0, L"", L"", L"VN-2026-0001"},
      {"two docks", 1, 100, 2, 0, twoDocks, twoDocksStatus, L"VN-2026-0001"},
      {"the first of two cannot be opened", 1, 100, 2, -12, twoDocks, twoDocksStatus, L"VN-2026-0001-2"},
  };
  for (const Case& expected : cases) {
    SCOPED_TRACE(expected.what);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    SimDockState dock;
    dock.acLine = expected.ac;
    dock.batteryPercent = expected.battery;
    dock.count = expected.count;
    dock.openError = expected.openError;
    SimDockSet(dock);
    RefreshDeviceList();
    ASSERT_EQ(ListRowCount(DeviceListWindow()), 1);
    EXPECT_EQ(ListReadCell(DeviceListWindow(), 0, 2), expected.serialShown);
    wchar_t status[256] = {};
    GetWindowTextW(FindWindowExW(mainWindow_, nullptr, STATUSCLASSNAMEW, nullptr), status, 256);
    EXPECT_EQ(std::wstring(status), expected.status);

    const UpdateRun run = Run(ScriptedImage(L"case.bin", neverRun));
    if (expected.refusal.empty()) {
      EXPECT_EQ(run.seen.fileDialogs, 1);
      ExpectOutcome(run, Unchanged());  // the script flashes nothing
    } else {
      EXPECT_EQ(run.seen.fileDialogs, 0);
      ExpectRefusal(run, expected.refusal);
    }
    EXPECT_EQ(FileExists((folder_ + L"ran.txt").c_str()), expected.refusal.empty());
    if (expected.battery == 255) {
      EXPECT_GE(FindRecord(run.log, "info", "Power check: battery unknown, going on: AC 1 battery 255"), 0);
    }
  }
  SimDockSet(SimDockState{});
  RefreshDeviceList();
}
