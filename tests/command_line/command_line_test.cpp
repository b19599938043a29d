// The command-line modes of the program, driven as scripts drive them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource.h"
#include "shell/command_line.h"
#include "tests/support/test_support.h"
#include "update/update_lock.h"

namespace {

using testsupport::TOOL_COMPLETED;
using testsupport::TOOL_FAILED;
using testsupport::Utf8;
using testsupport::Wide;

const std::string DOCK_STATE =
    "present=1\nvendor=Varnock\nproduct=Varnock USB-C Dock\nserial=VN-2026-0001\nfirmware=1.2.3.4\n";

struct Outcome {
  DWORD code = STILL_ACTIVE;
  std::string out;
  std::string err;
  std::vector<std::string> log;  // "level message"
};

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testsupport::FreshFolder(Wide(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    const std::wstring demo = testsupport::BuildFolder() + L"demo\\";
    CopyFileW((demo + L"VarnockFWUpdate-demo.exe").c_str(), Exe().c_str(), FALSE);
    CopyFileW((demo + L"varnock_dockupdatefw.exe").c_str(), Tool().c_str(), FALSE);
    SetDock(DOCK_STATE);
  }

  std::wstring Exe() const { return folder_ + L"VarnockFWUpdate-demo.exe"; }
  std::wstring Tool() const { return folder_ + L"varnock_dockupdatefw.exe"; }
  void SetDock(const std::string& state) const { testsupport::WriteFileBytes(folder_ + L"sim-dock.ini", state); }
  // An accepted image whose embedded script drives the stand-in tool.
  std::wstring Image(const std::wstring& name, const std::string& script, const unsigned char (&version)[4] = {1, 3, 0, 0}) const {
    testsupport::WriteImage(folder_ + name, 4096, script, "FWCT", version);
    return folder_ + name;
  }
  // A script line that leaves a mark when the tool runs.
  std::string RecordRun() const { return "record " + Utf8(folder_) + "ran.txt\n"; }
  bool ToolRan() const { return GetFileAttributesW((folder_ + L"ran.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }

  Outcome Run(const std::wstring& args) const {
    DeleteFileW((folder_ + L"basic-log.txt").c_str());
    Outcome outcome;
    outcome.code = testsupport::RunProcess(L"\"" + Exe() + L"\" " + args, 90000, folder_, folder_ + L"out.txt",
                                           folder_ + L"err.txt");
    outcome.out = testsupport::ReadFileBytes(folder_ + L"out.txt");
    outcome.err = testsupport::ReadFileBytes(folder_ + L"err.txt");
    outcome.log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    return outcome;
  }

  std::wstring folder_;
};

void ExpectLogEndsWithExit(const Outcome& outcome) {
  ASSERT_FALSE(outcome.log.empty());
  EXPECT_EQ(outcome.log.back(), "info CommandLine exit " + std::to_string(outcome.code));
}

TEST_F(CommandLine, InfoPrintsTheRowUnderTheColumnNamesAsTextOrJson) {
  const std::string text = "Vendor: Varnock\r\nProduct: Varnock USB-C Dock\r\nSerialNumber: VN-2026-0001\r\nFwRev: 1.2.3.4\r\n";
  const std::string json =
      "{\"Vendor\":\"Varnock\",\"Product\":\"Varnock USB-C Dock\",\"SerialNumber\":\"VN-2026-0001\",\"FwRev\":\"1.2.3.4\"}\r\n";
  struct Case {
    const wchar_t* args;
    std::string out;
  };
  for (const Case& run : {Case{L"/info", text}, Case{L"-INFO", text}, Case{L"/info /json", json}, Case{L"-Json /Info", json}}) {
    SCOPED_TRACE(Utf8(run.args));
    const Outcome outcome = Run(run.args);
    EXPECT_EQ(outcome.code, 0u);
    EXPECT_EQ(outcome.out, run.out);
    EXPECT_EQ(outcome.err, "");
    ExpectLogEndsWithExit(outcome);
  }
  // Quotes and a failed firmware request: the JSON stays valid, the revision empty.
  SetDock("present=1\nvendor=Var\"nock\\\nproduct=P\nserial=S\ncontrol_result=-9\n");
  const Outcome outcome = Run(L"/info /json");
  EXPECT_EQ(outcome.out, "{\"Vendor\":\"Var\\\"nock\\\\\",\"Product\":\"P\",\"SerialNumber\":\"S\",\"FwRev\":\"\"}\r\n");
}

TEST_F(CommandLine, EveryRefusalHasItsExitCodeAndStartsNoUpdater) {
  struct Case {
    const char* what;
    std::string dock;
    std::wstring args;
    DWORD code;
    std::string errorText;
  };
  const std::wstring good = L"\"" + Image(L"good.bin", RecordRun() + "out " + TOOL_COMPLETED) + L"\"";
  testsupport::WriteImage(folder_ + L"short.bin", 1023, RecordRun());
  testsupport::WriteImage(folder_ + L"unsigned.bin", 4096, RecordRun(), "FWCX");
  const Case cases[] = {
      {"unknown switch", DOCK_STATE, L"/info /fast", 2, "Usage error: unknown switch /fast"},
      {"extra argument", DOCK_STATE, L"/info now", 2, "Usage error: unexpected argument"},
      {"image missing", DOCK_STATE, L"/update", 2, "/update needs an image file"},
      {"wait without update", DOCK_STATE, L"/info /wait 5", 2, "Usage error"},
      {"wait not a number", DOCK_STATE, L"/update " + good + L" /wait soon", 2, "/wait takes whole seconds"},
      {"no dock, info", "present=0\n", L"/info", 3, "No dock on the bus."},
      {"no dock, update", "present=0\n", L"/update " + good, 3, "No dock on the bus."},
      {"dock cannot be opened, info", DOCK_STATE + "open_error=-12\n", L"/info", 4,
       "cannot be opened: LIBUSB_ERROR_NOT_SUPPORTED (-12)."},
      {"dock cannot be opened, update", DOCK_STATE + "open_error=-3\n", L"/update " + good, 4,
       "cannot be opened: LIBUSB_ERROR_ACCESS (-3)."},
      {"image unreadable", DOCK_STATE, L"/update \"" + folder_ + L"none.bin\"", 6, "it cannot be read"},
      {"image of 1023 bytes", DOCK_STATE, L"/update \"" + folder_ + L"short.bin\"", 6, "shorter than 1024 bytes"},
      {"image not signed", DOCK_STATE, L"/update \"" + folder_ + L"unsigned.bin\"", 6, "does not begin with \"FWCT\""},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(run.dock);
    const Outcome outcome = Run(run.args);
    EXPECT_EQ(outcome.code, run.code);
    EXPECT_NE(outcome.err.find(run.errorText), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    ExpectLogEndsWithExit(outcome);
  }
  DeleteFileW(Tool().c_str());
  SetDock(DOCK_STATE);
  const Outcome missing = Run(L"/update " + good);
  EXPECT_EQ(missing.code, 5u);
  EXPECT_NE(missing.err.find("The updater tool is not beside the program: " + Utf8(Tool())), std::string::npos);
  EXPECT_FALSE(ToolRan());

  const Outcome help = Run(L"/?");
  EXPECT_EQ(help.code, 0u);
  EXPECT_EQ(help.out.rfind("Usage:\r\n", 0), 0u);
}

TEST_F(CommandLine, UpdatePassesTheToolsOutputThroughAndPrintsOldAndNewVersions) {
  const std::wstring image = Image(L"fw-2.0.1.7.bin", "out Writing image\nerr Verifying\nflash\nout " + TOOL_COMPLETED, {2, 0, 1, 7});
  const Outcome outcome = Run(L"/update \"" + image + L"\"");
  EXPECT_EQ(outcome.code, 0u);
  EXPECT_EQ(outcome.out, "Writing image\r\nVerifying\r\n" + TOOL_COMPLETED + "\r\nFirmware updated: 1.2.3.4 -> 2.0.1.7\r\n");
  EXPECT_EQ(outcome.err, "");
  const std::vector<std::string> expected = {
      "info CommandLine update " + Utf8(image),
      "info CommandLine tool " + Utf8(Tool()),
      "info CommandLine QueryDock",
      "info iManufacturer Varnock",
      "info iProduct Varnock USB-C Dock",
      "info iSerialNumber VN-2026-0001",
      "info fwver 1.2.3.4",
      "info CommandLine run updater",
      "info RealFWDownload CreatePipe",
      "info RealFWDownload CreateProcess",
      "info ReadFile",
  };
  ASSERT_GE(outcome.log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(outcome.log.begin(), outcome.log.begin() + expected.size()), expected);
  const std::vector<std::string> tail = {
      "info RealFWDownload end",          "info CommandLine waiting for the dock 60 s",
      "info CommandLine QueryDock",       "info iManufacturer Varnock",
      "info iProduct Varnock USB-C Dock", "info iSerialNumber VN-2026-0001",
      "info fwver 2.0.1.7",               "info CommandLine firmware updated 1.2.3.4 -> 2.0.1.7",
      "info CommandLine exit 0",
  };
  EXPECT_EQ(std::vector<std::string>(outcome.log.end() - tail.size(), outcome.log.end()), tail);

  // The same rule as the window: the failure text without the completion text fails.
  const Outcome failed = Run(L"/update \"" + Image(L"fails.bin", "out Writing image\nout " + TOOL_FAILED) + L"\"");
  EXPECT_EQ(failed.code, 1u);
  EXPECT_EQ(failed.out, "Writing image\r\n" + TOOL_FAILED + "\r\n");
  EXPECT_EQ(failed.err, "Firmware update failed.\r\n");
  ExpectLogEndsWithExit(failed);

  // A file under the tool's name that is no program cannot be started.
  testsupport::WriteFileBytes(Tool(), "not a program\r\n");
  const Outcome notStarted = Run(L"/update \"" + image + L"\"");
  EXPECT_EQ(notStarted.code, 8u);
  EXPECT_EQ(notStarted.err.rfind("The updater could not be started: CreateProcess failed (", 0), 0u) << notStarted.err;
}

TEST_F(CommandLine, UpdateWaitsForTheRebootedDockOnlyAsLongAsAsked) {
  // The stand-in flashes, then the dock drops off the bus for a while, as after a real flash.
  const Outcome back = Run(L"/update \"" + Image(L"reboots.bin", "flash\nreboot 2500\nout " + TOOL_COMPLETED) + L"\"");
  EXPECT_EQ(back.code, 0u);
  EXPECT_NE(back.out.find("Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n"), std::string::npos) << back.out;
  EXPECT_GE(std::count(back.log.begin(), back.log.end(), "error libusb_open_device_with_vid_pid failed"), 2)
      << "the dock answered at once: the wait was not exercised";

  const Outcome gone = Run(L"/update \"" + Image(L"never.bin", "flash\nreboot 600000\nout " + TOOL_COMPLETED) + L"\" /wait 2");
  EXPECT_EQ(gone.code, 9u);
  EXPECT_EQ(gone.err, "The updater reported success but the dock did not answer within 2 s.\r\n");
  ExpectLogEndsWithExit(gone);
}

TEST_F(CommandLine, UpdateIsRefusedWhileTheWindowIsOpenOrAnotherUpdateHoldsTheDock) {
  const std::wstring image = L"\"" + Image(L"good.bin", RecordRun() + "out " + TOOL_COMPLETED) + L"\"";
  {
    const FlashLock held;  // as a running update in another process holds it
    ASSERT_TRUE(held.Held());
    const Outcome outcome = Run(L"/update " + image);
    EXPECT_EQ(outcome.code, 7u);
    EXPECT_EQ(outcome.err, "Another firmware update is running.\r\n");
  }
  const testsupport::ChildProcess window = testsupport::StartProcess(L"\"" + Exe() + L"\"", folder_);
  ASSERT_NE(window.process, nullptr);
  HWND main = nullptr;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return (main = FindWindowW(testsupport::APP_CLASS, testsupport::APP_TITLE)) != nullptr; },
                                     std::chrono::seconds(30)));
  const Outcome outcome = Run(L"/update " + image);
  // /info runs beside the window.
  const Outcome info = Run(L"/info");
  PostMessageW(main, WM_COMMAND, IDM_EXIT, 0);
  EXPECT_EQ(testsupport::WaitForExit(window.process, 15000), 0u);
  CloseHandle(window.process);
  EXPECT_EQ(outcome.code, 7u);
  EXPECT_NE(outcome.err.find("window is open"), std::string::npos) << outcome.err;
  EXPECT_EQ(info.code, 0u);
  EXPECT_FALSE(ToolRan());
}

TEST_F(CommandLine, RedirectedOutputIsUtf8) {
  const std::wstring image = folder_ + L"固件-短.bin";
  testsupport::WriteImage(image, 100, "");
  const Outcome outcome = Run(L"/update \"" + image + L"\"");
  EXPECT_EQ(outcome.code, 6u);
  EXPECT_NE(outcome.err.find(Utf8(image) + "\r\n"), std::string::npos) << outcome.err;
  EXPECT_NE(std::find(outcome.log.begin(), outcome.log.end(), "info CommandLine update " + Utf8(image)), outcome.log.end());
}

TEST_F(CommandLine, BatchFilesSeeTheExitCodeInErrorlevel) {
  SetDock("present=0\n");
  const std::string exe = Utf8(Exe());
  testsupport::WriteFileBytes(folder_ + L"fleet.bat",
                              "@echo off\r\n\"" + exe + "\" /info > nul\r\n"
                              "echo plain=%ERRORLEVEL%> codes.txt\r\n"
                              "start \"\" /wait \"" + exe + "\" /bogus\r\n"
                              "echo start=%ERRORLEVEL%>> codes.txt\r\n");
  const testsupport::ChildProcess shell = testsupport::StartProcess(L"cmd.exe /c fleet.bat", folder_);
  ASSERT_NE(shell.process, nullptr);
  EXPECT_EQ(testsupport::WaitForExit(shell.process, 60000), 2u) << "cmd ends with the last command's code";
  CloseHandle(shell.process);
  EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"codes.txt"), "plain=3\r\nstart=2\r\n");
}

TEST(CommandLineParsing, SwitchesAndTheirArguments) {
  struct Case {
    std::vector<std::wstring> args;
    CommandMode mode;
    bool json;
    std::wstring image;
    int wait;
  };
  const Case cases[] = {
      {{}, CommandMode::Window, false, L"", 60},
      {{L"/INFO", L"-json"}, CommandMode::Info, true, L"", 60},
      {{L"-update", L"D:\\fw.bin"}, CommandMode::Update, false, L"D:\\fw.bin", 60},
      {{L"/Wait", L"0", L"/update", L"-fw.bin"}, CommandMode::Update, false, L"-fw.bin", 0},
      {{L"/update", L"fw.bin", L"/wait", L"86400"}, CommandMode::Update, false, L"fw.bin", 86400},
      {{L"-?"}, CommandMode::Help, false, L"", 60},
      {{L"/update", L"fw.bin", L"/wait", L"86401"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/wait", L"-1"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"/wait", L"5"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/update", L"b.bin"}, CommandMode::UsageError, false, L"", 60},
      {{L"/info", L"/update", L"a.bin"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/json"}, CommandMode::UsageError, false, L"", 60},
      {{L"/json"}, CommandMode::UsageError, false, L"", 60},
      {{L"/?", L"/info"}, CommandMode::UsageError, false, L"", 60},
      {{L"/"}, CommandMode::UsageError, false, L"", 60},
  };
  for (const Case& expected : cases) {
    std::wstring line;
    for (const auto& arg : expected.args) line += arg + L" ";
    SCOPED_TRACE(Utf8(line));
    const CommandRequest request = ParseCommandLine(expected.args);
    EXPECT_EQ(request.mode, expected.mode);
    if (expected.mode == CommandMode::UsageError) {
      EXPECT_FALSE(request.problem.empty());
      continue;
    }
    EXPECT_EQ(request.json, expected.json);
    EXPECT_EQ(request.image, expected.image);
    EXPECT_EQ(request.waitSeconds, expected.wait);
  }
}

}  // namespace
