// The command-line modes of the program, driven as scripts drive them.
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "docks/dock_guard.h"
#include "resources/resource.h"
#include "shell/command_line_parse.h"
#include "base/win_handles.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::TOOL_COMPLETED;
using testsupport::TOOL_FAILED;
using testsupport::Utf8;
using testsupport::Wide;

const std::string EXPECT_FORM = "Usage error: /expect takes four numbers from 0 to 255 joined by dots";

const std::string DOCK_STATE =
    "present=1\nvendor=Varnock\nproduct=Varnock USB-C Dock\nserial=VN-2026-0001\nfirmware=1.2.3.4\n";

struct Outcome {
  DWORD code = STILL_ACTIVE;
  std::string out;
  std::string err;
  std::vector<std::string> log;  // "level message"
};

// The program's command line and its console twin answer alike: every test
// of the command line runs against both.
constexpr const wchar_t* GUI_PROGRAM = L"VarnockFWUpdate-demo.exe";
constexpr const wchar_t* CONSOLE_TWIN = L"VarnockFWUpdate-demo-cli.exe";

class CommandLine : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    std::wstring name = Wide(::testing::UnitTest::GetInstance()->current_test_info()->name());
    for (wchar_t& c : name) c = c == L'/' ? L'-' : c;
    folder_ = testsupport::FreshFolder(name);
    const std::wstring demo = testsupport::BuildFolder() + L"demo\\";
    for (const wchar_t* program : {GUI_PROGRAM, CONSOLE_TWIN}) {
      CopyFileW((demo + program).c_str(), (folder_ + program).c_str(), FALSE);
    }
    CopyFileW((demo + L"varnock_dockupdatefw.exe").c_str(), Tool().c_str(), FALSE);
    SetDock(DOCK_STATE);
  }

  // The program under test: the GUI program's command line, or the console twin.
  std::wstring Exe() const { return folder_ + GetParam(); }
  std::wstring GuiExe() const { return folder_ + GUI_PROGRAM; }
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

  Outcome Run(const std::wstring& args, const std::wstring& logFile = L"basic-log.txt") const {
    DeleteFileW((folder_ + logFile).c_str());
    Outcome outcome;
    outcome.code = testsupport::RunProcess(L"\"" + Exe() + L"\" " + args, 90000, folder_, folder_ + L"out.txt",
                                           folder_ + L"err.txt");
    outcome.out = testsupport::ReadFileBytes(folder_ + L"out.txt");
    outcome.err = testsupport::ReadFileBytes(folder_ + L"err.txt");
    outcome.log = testsupport::LogMessages(folder_ + logFile);
    return outcome;
  }
  bool Logged(const Outcome& outcome, const std::string& line) const {
    return std::find(outcome.log.begin(), outcome.log.end(), line) != outcome.log.end();
  }

  std::wstring folder_;
};

// The object's DACL holds exactly: SYSTEM and Administrators all access,
// Authenticated Users synchronize and the type's modify-state right.
void ExpectThreeGrants(HANDLE object, DWORD modifyState, DWORD allAccess) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const UniqueLocal owner(descriptor);
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 3);
  const WELL_KNOWN_SID_TYPE who[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinAuthenticatedUserSid};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &entry));
    const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(sid);
    ASSERT_TRUE(CreateWellKnownSid(who[i], nullptr, sid, &size));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&ace->SidStart), sid)) << "entry " << i;
    if (i < 2) {
      EXPECT_TRUE(ace->Mask == GENERIC_ALL || (ace->Mask & allAccess) == allAccess) << std::hex << ace->Mask;
    } else {
      EXPECT_EQ(ace->Mask, SYNCHRONIZE | modifyState);
    }
  }
}

void ExpectLogEndsWithExit(const Outcome& outcome) {
  ASSERT_FALSE(outcome.log.empty());
  EXPECT_EQ(outcome.log.back(), "info CommandLine exit " + std::to_string(outcome.code));
}

// A strict reader for the one JSON object of /update … /json: objects, strings,
// numbers, true, false and null. Fills the object's members as their raw JSON
// text; false when the text is not exactly one valid object.
class JsonObjectReader {
 public:
  explicit JsonObjectReader(const std::string& text) : text_(text) {}
  bool Read(std::map<std::string, std::string>& members) {
    SkipSpace();
    if (!Take('{')) return false;
    SkipSpace();
    if (Take('}')) return AtEnd();
    for (;;) {
      std::string key;
      SkipSpace();
      if (!String(&key)) return false;
      SkipSpace();
      if (!Take(':')) return false;
      SkipSpace();
      const size_t from = at_;
      if (!Value()) return false;
      members[key] = text_.substr(from, at_ - from);
      SkipSpace();
      if (Take('}')) return AtEnd();
      if (!Take(',')) return false;
    }
  }

 private:
  bool AtEnd() {
    SkipSpace();
    return at_ == text_.size();
  }
  void SkipSpace() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr) ++at_;
  }
  bool Take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool Word(const char* word) {
    if (text_.compare(at_, std::strlen(word), word) != 0) return false;
    at_ += std::strlen(word);
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c < 0x20) return false;
      if (c == '\\') {
        ++at_;
        if (at_ >= text_.size() || std::strchr("\"\\/bfnrtu", text_[at_]) == nullptr) return false;
        if (text_[at_] == 'u') {
          for (int i = 1; i <= 4; ++i) {
            if (at_ + i >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_ + i]))) return false;
          }
          at_ += 4;
        }
      } else if (out) {
        *out += static_cast<char>(c);
      }
      ++at_;
    }
    return Take('"');
  }
  bool Number() {
    const size_t from = at_;
    Take('-');
    while (at_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[at_])) || text_[at_] == '.')) ++at_;
    return at_ > from;
  }
  bool Value() {
    if (at_ >= text_.size()) return false;
    if (text_[at_] == '"') return String(nullptr);
    if (text_[at_] == '{') return false;  // not expected in these objects
    return Word("null") || Word("true") || Word("false") || Number();
  }

  const std::string& text_;
  size_t at_ = 0;
};

TEST_P(CommandLine, InfoPrintsTheRowUnderTheColumnNamesAsTextOrJson) {
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

TEST_P(CommandLine, EveryRefusalHasItsExitCodeAndStartsNoUpdater) {
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
      {"/expect of two numbers", DOCK_STATE, L"/update " + good + L" /expect 1.3", 2, EXPECT_FORM},
      {"/expect of five numbers", DOCK_STATE, L"/update " + good + L" /expect 1.3.0.0.0", 2, EXPECT_FORM},
      {"/expect of letters", DOCK_STATE, L"/update " + good + L" /expect abc", 2, EXPECT_FORM},
      {"/expect past 255", DOCK_STATE, L"/update " + good + L" /expect 256.0.0.0", 2, EXPECT_FORM},
      {"/expect with a stray space", DOCK_STATE, L"/update " + good + L" /expect \" 1.3.0.0\"", 2, EXPECT_FORM},
      // Checked before the dock is read: no dock would be exit 3.
      {"an image of another SHA-256", "present=0\n", L"/update " + good + L" /sha256 " + std::wstring(64, L'0'), 6,
       "The image's SHA-256 is " + testsupport::FileSha256(folder_ + L"good.bin") + ", expected " + std::string(64, '0') +
           ".\r\n"},
      {"a fault inside, info", DOCK_STATE + "init_throws=1\n", L"/info", 14,
       "Internal error: simulated fault in the USB library\r\n"},
      {"a fault inside, update", DOCK_STATE + "init_throws=1\n", L"/update " + good, 14,
       "Internal error: simulated fault in the USB library\r\n"},
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
  // Each program names its own file; only the window's opens a window.
  const bool twin = std::wstring(GetParam()) == CONSOLE_TWIN;
  EXPECT_NE(help.out.find(twin ? "  VarnockFWUpdate-cli.exe /info" : "  VarnockFWUpdate.exe /info"), std::string::npos);
  EXPECT_EQ(help.out.find("open the window") != std::string::npos, !twin);
  EXPECT_FALSE(ToolRan());
}

TEST_P(CommandLine, UpdatePassesTheToolsOutputThroughAndPrintsOldAndNewVersions) {
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
      "info FWDownload image sha256 " + testsupport::FileSha256(image),
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

TEST_P(CommandLine, AnUpdateCountsOnlyWhenTheUpdaterEndedWellAndTheDockShowsTheNewVersion) {
  struct Case {
    const char* what;
    std::string script;
    const unsigned char version[4];
    std::wstring switches;
    DWORD code;
    std::string err;
    std::string lastOut;  // the program's own last line on standard output
    bool toolRuns;
  };
  const std::string done = "out " + TOOL_COMPLETED + "\n";
  const Case cases[] = {
      {"crashes after some progress", "out Writing image: 10%\nexit 0xC0000005\n", {1, 3, 0, 0}, L"", 1,
       "Firmware update failed (updater exit code 0xC0000005).\r\n", "Writing image: 10%\r\n", true},
      {"ended from outside", "out Writing image: 10%\nexit 0xC000013A\n", {1, 3, 0, 0}, L"", 1,
       "Firmware update failed (updater exit code 0xC000013A).\r\n", "Writing image: 10%\r\n", true},
      {"exits 1 without a word", "exit 1\n", {1, 3, 0, 0}, L"", 1,
       "Firmware update failed (updater exit code 0x1).\r\n", "", true},
      {"failure printed after completion", done + "out " + TOOL_FAILED + "\n", {1, 3, 0, 0}, L"", 1,
       "Firmware update failed.\r\n", TOOL_FAILED + "\r\n", true},
      {"completes but the dock keeps its version", done, {1, 3, 0, 0}, L" /wait 1", 10,
       "The updater reported success but the dock still reports 1.2.3.4.\r\n", TOOL_COMPLETED + "\r\n", true},
      {"flashes another version than expected", "flash\n" + done, {1, 3, 0, 0}, L" /expect 1.4.0.0 /wait 1", 10,
       "The updater reported success but the dock still reports 1.3.0.0, expected 1.4.0.0.\r\n",
       TOOL_COMPLETED + "\r\n", true},
      {"flashes the expected version", "flash\n" + done, {1, 3, 0, 0}, L" /expect 1.3.0.0", 0, "",
       "Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n", true},
      {"dock already at the expected version", done, {1, 2, 3, 4}, L" /expect 1.2.3.4", 0, "",
       "Firmware already at 1.2.3.4; nothing flashed.\r\n", false},
      {"forced over the same version, no restart", "flash\n" + done, {1, 2, 3, 4}, L" /expect 1.2.3.4 /force /wait 2",
       0, "", "The dock did not restart; it reports 1.2.3.4.\r\n", true},
      {"forced, the version unchanged, no restart", done, {1, 3, 0, 0}, L" -FORCE /wait 2", 0, "",
       "The dock did not restart; it reports 1.2.3.4.\r\n", true},
      {"forced, the dock restarts with the same version", "reboot 2000\n" + done, {1, 3, 0, 0}, L" /force", 0, "",
       "Firmware updated: 1.2.3.4 -> 1.2.3.4\r\n", true},
      {"/expect compared as numbers", done, {1, 2, 3, 4}, L" /expect 01.2.03.004", 0, "",
       "Firmware already at 1.2.3.4; nothing flashed.\r\n", false},
      {"ends without its completion text", "out Writing image: 100%\n", {1, 3, 0, 0}, L" /wait 1", 10,
       "The updater ended without its completion text, and the dock still reports 1.2.3.4.\r\n",
       "Writing image: 100%\r\n", true},
      {"last line without a line end", "flash\n" + done + "raw 100% done", {1, 3, 0, 0}, L"", 0, "",
       "100% done\r\nFirmware updated: 1.2.3.4 -> 1.3.0.0\r\n", true},
      // Last: its helper keeps the flash marker a few seconds more.
      {"a helper keeps the flash marker", "linger 6000\n" + done, {1, 3, 0, 0}, L" /wait 2", 7,
       "A firmware update is running; the dock is not read during a flash.\r\n", TOOL_COMPLETED + "\r\n", true},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(DOCK_STATE);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    const std::wstring image = Image(L"case.bin", RecordRun() + run.script, run.version);
    const Outcome outcome = Run(L"/update \"" + image + L"\"" + run.switches);
    EXPECT_EQ(outcome.code, run.code);
    EXPECT_EQ(outcome.err, run.err);
    EXPECT_GE(outcome.out.size(), run.lastOut.size());
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - std::min(outcome.out.size(), run.lastOut.size())), run.lastOut)
        << outcome.out;
    EXPECT_EQ(ToolRan(), run.toolRuns);
    EXPECT_EQ(Logged(outcome, "info CommandLine run updater"), run.toolRuns);
    ExpectLogEndsWithExit(outcome);
  }
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Run(L"/info").code == 0; }, std::chrono::seconds(30)));
  const Outcome crashed = Run(L"/update \"" + Image(L"crash.bin", "exit 0xC0000005\n") + L"\"");
  EXPECT_TRUE(Logged(crashed, "info RealFWDownload tool exit code 0xC0000005")) << ::testing::PrintToString(crashed.log);
  const Outcome already = Run(L"/update \"" + Image(L"same.bin", done, {1, 2, 3, 4}) + L"\" /expect 1.2.3.4");
  EXPECT_TRUE(Logged(already, "info CommandLine firmware already at 1.2.3.4; nothing flashed"));
}

TEST_P(CommandLine, TheLogNeverReachesStandardOutputAndKeepsEveryLineOfAKilledRun) {
  const std::string json =
      "{\"Vendor\":\"Varnock\",\"Product\":\"Varnock USB-C Dock\",\"SerialNumber\":\"VN-2026-0001\",\"FwRev\":\"1.2.3.4\"}\r\n";
  {
    // Nobody may open the log, as in a folder the run cannot write to.
    const UniqueHandle held(CreateFileW((folder_ + L"basic-log.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                   nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    const DWORD code = testsupport::RunProcess(L"\"" + Exe() + L"\" /info /json", 60000, folder_, folder_ + L"out.txt",
                                               folder_ + L"err.txt");
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"out.txt"), json);
    EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"err.txt"),
              "Warning: basic-log.txt cannot be written; going on without a log.\r\n");
    const std::wstring image = Image(L"flash.bin", "out Writing image\nflash\nout " + TOOL_COMPLETED);
    EXPECT_EQ(testsupport::RunProcess(L"\"" + Exe() + L"\" /update \"" + image + L"\"", 60000, folder_,
                                      folder_ + L"out.txt", folder_ + L"err.txt"),
              0u);
    EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"out.txt"),
              "Writing image\r\n" + TOOL_COMPLETED + "\r\nFirmware updated: 1.2.3.4 -> 1.3.0.0\r\n");
  }
  // /log names the file; basic-log.txt is left alone.
  DeleteFileW((folder_ + L"basic-log.txt").c_str());
  CreateDirectoryW((folder_ + L"logs").c_str(), nullptr);
  const Outcome logged = Run(L"/info /log logs\\fleet.log", L"logs\\fleet.log");
  EXPECT_EQ(logged.code, 0u);
  EXPECT_EQ(logged.err, "");
  EXPECT_TRUE(Logged(logged, "info fwver 1.3.0.0")) << ::testing::PrintToString(logged.log);
  ExpectLogEndsWithExit(logged);
  EXPECT_EQ(GetFileAttributesW((folder_ + L"basic-log.txt").c_str()), INVALID_FILE_ATTRIBUTES);

  // A folder the ANSI code page cannot spell.
  ASSERT_TRUE(CreateDirectoryW((folder_ + L"日志").c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const Outcome wide = Run(L"/info /log \"" + folder_ + L"日志\\fleet.log\"", L"日志\\fleet.log");
  EXPECT_EQ(wide.code, 0u);
  EXPECT_EQ(wide.err, "");
  ExpectLogEndsWithExit(wide);

  // Killed as soon as the updater runs: the lines up to it are on disk.
  const std::wstring gateName = L"Local\\varnock-killed-run-" + std::to_wstring(GetCurrentProcessId());
  const UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, gateName.c_str()));
  const std::wstring started = folder_ + L"started.txt";
  const std::wstring image = Image(L"held.bin", "stamp " + Utf8(started) + "\nwaitevent " + Utf8(gateName) + "\n" + "out " + TOOL_COMPLETED);
  const testsupport::ChildProcess run = testsupport::StartProcess(L"\"" + Exe() + L"\" /update \"" + image + L"\"", folder_,
                                                                  folder_ + L"out.txt", folder_ + L"err.txt");
  ASSERT_NE(run.process, nullptr);
  const bool toolStarted = testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); },
                                                  std::chrono::seconds(30));
  TerminateProcess(run.process, 1);
  WaitForSingleObject(run.process, 10000);
  CloseHandle(run.process);
  SetEvent(gate.Get());
  ASSERT_TRUE(toolStarted);
  const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
  EXPECT_NE(std::find(log.begin(), log.end(), "info CommandLine run updater"), log.end()) << ::testing::PrintToString(log);
  EXPECT_NE(std::find(log.begin(), log.end(), "info RealFWDownload CreateProcess"), log.end());
}

TEST_P(CommandLine, UpdaterOutputReachesStandardOutputAsUtf8) {
  // Text in the ANSI code page is converted; UTF-8 passes, even split between writes.
  const std::string ansi = "caf\xE9";
  wchar_t wide[8] = {};
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide, 8);
  const std::wstring image = Image(L"texts.bin", "raw " + ansi + "\\n\nsleep 300\nraw \xE5\x9B\nsleep 300\nraw \xBA\xE4\xBB\xB6\\n\nflash\nout " + TOOL_COMPLETED);
  const Outcome outcome = Run(L"/update \"" + image + L"\"");
  EXPECT_EQ(outcome.code, 0u);
  EXPECT_EQ(outcome.out, Utf8(wide) + "\n\xE5\x9B\xBA\xE4\xBB\xB6\n" + TOOL_COMPLETED + "\r\nFirmware updated: 1.2.3.4 -> 1.3.0.0\r\n");
  EXPECT_NE(Utf8(wide), ansi) << "the ANSI byte passed unconverted";
}

TEST_P(CommandLine, UsbLibraryThatCannotStartIsItsOwnExitCode) {
  SetDock(DOCK_STATE + "init_result=-99\n");
  for (const wchar_t* args : {L"/info", L"/update missing.bin"}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(outcome.code, 11u);
    EXPECT_EQ(outcome.err, "The USB library could not be initialised.\r\n");
    EXPECT_TRUE(Logged(outcome, "info libusb_init failed -99"));
    ExpectLogEndsWithExit(outcome);
  }
}

TEST_P(CommandLine, UpdateWaitsForTheRebootedDockOnlyAsLongAsAsked) {
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


TEST_P(CommandLine, UpdateWithJsonEndsWithOneObjectThatNamesTheOutcome) {
  const std::string done = "out Writing image\nflash\nout " + TOOL_COMPLETED + "\n";
  Image(L"fw.bin", RecordRun() + done);
  std::wstring sha256 = Wide(testsupport::FileSha256(folder_ + L"fw.bin"));
  for (wchar_t& c : sha256) c = static_cast<wchar_t>(std::towupper(c));
  Image(L"same.bin", "out " + TOOL_COMPLETED + "\n");
  Image(L"fails.bin", "out " + TOOL_FAILED + "\n");
  Image(L"away.bin", "reboot 600000\nout " + TOOL_COMPLETED + "\n");
  struct Case {
    const char* what;
    std::string dock;
    std::wstring args;  // after /update, run in the images' folder
    std::string result;
    DWORD code;
    std::string before;  // FwRevBefore's JSON
    std::string after;   // FwRevAfter's JSON
  };
  const Case cases[] = {
      {"updated, the image pinned", DOCK_STATE, L"fw.bin /sha256 " + sha256, "updated", 0, "\"1.2.3.4\"", "\"1.3.0.0\""},
      {"already current", DOCK_STATE, L"fw.bin /expect 1.2.3.4", "already-current", 0, "\"1.2.3.4\"", "\"1.2.3.4\""},
      {"failed", DOCK_STATE, L"fails.bin", "failed", 1, "\"1.2.3.4\"", "null"},
      {"another image", DOCK_STATE, L"fw.bin /sha256 " + std::wstring(64, L'f'), "refused", 6, "null", "null"},
      {"a usage error", DOCK_STATE, L"fw.bin /expect 1.3", "refused", 2, "null", "null"},
      {"no dock", "present=0\n", L"fw.bin", "no-dock", 3, "null", "null"},
      {"dock cannot be opened", DOCK_STATE + "open_error=-12\n", L"fw.bin", "dock-unopenable", 4, "null", "null"},
      {"unchanged", DOCK_STATE, L"same.bin /wait 1", "unchanged", 10, "\"1.2.3.4\"", "\"1.2.3.4\""},
      {"did not return", DOCK_STATE, L"away.bin /wait 1", "did-not-return", 9, "\"1.2.3.4\"", "null"},
      {"no USB library", DOCK_STATE + "init_result=-99\n", L"fw.bin", "usb-unavailable", 11, "null", "null"},
      {"a fault inside", DOCK_STATE + "init_throws=1\n", L"fw.bin", "internal-error", 14, "null", "null"},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(run.dock);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    const Outcome outcome = Run(L"/update " + run.args + L" /json");
    EXPECT_EQ(outcome.code, run.code) << outcome.err;
    ASSERT_EQ(outcome.out.find("\r\n"), outcome.out.size() - 2) << "not one line: " << outcome.out;
    std::map<std::string, std::string> members;
    ASSERT_TRUE(JsonObjectReader(outcome.out).Read(members)) << outcome.out;
    EXPECT_EQ(members.size(), 10u);
    EXPECT_EQ(members["Result"], "\"" + run.result + "\"");
    EXPECT_EQ(members["ExitCode"], std::to_string(run.code));
    EXPECT_EQ(members["FwRevBefore"], run.before);
    EXPECT_EQ(members["FwRevAfter"], run.after);
    EXPECT_NE(members["Message"], "null");
    EXPECT_NE(members["Message"], "\"\"");
    EXPECT_NE(members["Seconds"].find_first_of("0123456789"), std::string::npos);
    if (run.code == 0 || run.code == 1) {
      std::string image = Utf8(folder_) + (run.code == 0 ? "fw.bin" : "fails.bin");
      for (size_t at = image.find('\\'); at != std::string::npos; at = image.find('\\', at + 2)) image.insert(at, "\\");
      EXPECT_EQ(members["Image"], "\"" + image + "\"");
      EXPECT_EQ(members["SerialNumber"], "\"VN-2026-0001\"");
    }
  }
  // The updated run: the updater got the full path, its output went to standard error.
  SetDock(DOCK_STATE);
  const Outcome updated = Run(L"/update fw.bin /json");
  EXPECT_NE(updated.err.find("Writing image\r\n"), std::string::npos) << updated.err;
  std::map<std::string, std::string> members;
  ASSERT_TRUE(JsonObjectReader(updated.out).Read(members)) << updated.out;
  EXPECT_EQ(members["ImageSha256"], "\"" + testsupport::FileSha256(folder_ + L"fw.bin") + "\"");
  EXPECT_EQ(members["UpdaterExitCode"], "\"0x0\"");
  EXPECT_EQ(members["Message"], "\"Firmware updated: 1.2.3.4 -> 1.3.0.0\"");
  EXPECT_NE(testsupport::ReadFileBytes(folder_ + L"ran.txt").find("-i \"" + Utf8(folder_) + "fw.bin\""), std::string::npos);
  EXPECT_TRUE(Logged(updated, "info FWDownload image sha256 " + testsupport::FileSha256(folder_ + L"fw.bin")));
}

BOOL WINAPI IgnoreConsoleSignal(DWORD) { return TRUE; }

class ConsoleTwin : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testsupport::FreshFolder(Wide(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    const std::wstring demo = testsupport::BuildFolder() + L"demo\\";
    CopyFileW((demo + CONSOLE_TWIN).c_str(), Twin().c_str(), FALSE);
    CopyFileW((demo + L"varnock_dockupdatefw.exe").c_str(), (folder_ + L"varnock_dockupdatefw.exe").c_str(), FALSE);
    testsupport::WriteFileBytes(folder_ + L"sim-dock.ini", DOCK_STATE);
  }
  std::wstring Twin() const { return folder_ + CONSOLE_TWIN; }

  std::wstring folder_;
};

// A command-line update held inside its updater until the test sets the gate.
class HeldUpdate {
 public:
  HeldUpdate(const std::wstring& folder, const std::wstring& commandLine, const std::wstring& image)
      : started_(folder + L"updater-started.txt") {
    const std::wstring gateName = L"Local\\varnock-held-update-" + std::to_wstring(GetCurrentProcessId());
    gate_.Reset(CreateEventW(nullptr, TRUE, FALSE, gateName.c_str()));
    testsupport::WriteImage(image, 4096,
                            "stamp " + Utf8(started_) + "\nwaitevent " + Utf8(gateName) + "\nflash\nout " + TOOL_COMPLETED);
    run_ = testsupport::StartProcess(commandLine, folder, folder + L"held-out.txt", folder + L"held-err.txt");
  }
  ~HeldUpdate() {
    Release();
    if (run_.process) {
      WaitForSingleObject(run_.process, 30000);
      CloseHandle(run_.process);
    }
  }
  bool UpdaterRunning() const {
    return testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started_).empty(); }, std::chrono::seconds(30));
  }
  void Release() { SetEvent(gate_.Get()); }
  HANDLE Process() const { return run_.process; }

 private:
  std::wstring started_;
  UniqueHandle gate_;
  testsupport::ChildProcess run_;
};

TEST_P(CommandLine, AKilledRunsUpdaterKeepsTheDockUntilItEnds) {
  HeldUpdate held(folder_, L"\"" + Exe() + L"\" /update held.bin /log held.log", folder_ + L"held.bin");
  ASSERT_TRUE(held.UpdaterRunning());
  // The deployment engine's time-out: the copy is killed, its updater goes on.
  TerminateProcess(held.Process(), 1);
  ASSERT_EQ(WaitForSingleObject(held.Process(), 10000), WAIT_OBJECT_0);

  const std::wstring second = L"\"" + Image(L"second.bin", RecordRun() + "out " + TOOL_COMPLETED) + L"\"";
  const Outcome refused = Run(L"/update " + second);
  EXPECT_EQ(refused.code, 7u);
  EXPECT_EQ(refused.err, "Another firmware update is running.\r\n");
  EXPECT_FALSE(ToolRan());
  const Outcome info = Run(L"/info");
  EXPECT_EQ(info.code, 7u);
  EXPECT_EQ(info.err, "A firmware update is running; the dock is not read during a flash.\r\n");
  EXPECT_EQ(info.out, "");
  EXPECT_FALSE(Logged(info, "info CommandLine QueryDock")) << ::testing::PrintToString(info.log);
  ExpectLogEndsWithExit(info);

  // Once the orphan has ended, the dock is free again.
  held.Release();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Run(L"/info").code == 0; }, std::chrono::seconds(30)));
  const Outcome after = Run(L"/update " + second + L" /expect 1.3.0.0");
  EXPECT_EQ(after.code, 0u) << after.err;
  EXPECT_EQ(after.out, "Firmware already at 1.3.0.0; nothing flashed.\r\n");
}

// The program's window started beside the command line, in the same folder (its log is basic-log.txt).
class OpenWindow {
 public:
  explicit OpenWindow(const std::wstring& exe, const std::wstring& folder) : folder_(folder) {
    process_ = testsupport::StartProcess(L"\"" + exe + L"\"", folder);
    testsupport::WaitUntil([&] { return (main_ = FindWindowW(testsupport::APP_CLASS, testsupport::APP_TITLE)) != nullptr; },
                           std::chrono::seconds(30));
  }
  ~OpenWindow() {
    if (main_) PostMessageW(main_, WM_COMMAND, IDM_EXIT, 0);
    if (process_.process) {
      EXPECT_EQ(testsupport::WaitForExit(process_.process, 15000), 0u);
      CloseHandle(process_.process);
    }
  }
  HWND Main() const { return main_; }
  std::vector<std::string> Log() const { return testsupport::LogMessages(folder_ + L"basic-log.txt"); }
  bool Logged(const std::string& line) const {
    const std::vector<std::string> log = Log();
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  int Rows() const {
    return static_cast<int>(SendMessageW(FindWindowExW(main_, nullptr, L"SysListView32", nullptr), LVM_GETITEMCOUNT, 0, 0));
  }
  std::wstring Status() const {
    wchar_t text[256] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(FindWindowExW(main_, nullptr, L"msctls_statusbar32", nullptr), WM_GETTEXT, 256,
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length);
    return text;
  }
  DWORD Thread() const { return GetWindowThreadProcessId(main_, nullptr); }

 private:
  std::wstring folder_;
  testsupport::ChildProcess process_;
  HWND main_ = nullptr;
};

const std::string DOCK_QUERY_LINES[] = {"info iManufacturer Varnock", "error libusb_open_device_with_vid_pid failed"};

TEST_P(CommandLine, AWindowStartedDuringAFlashKeepsOffTheDockAndReadsItWhenTheFlashEnds) {
  HeldUpdate held(folder_, L"\"" + Exe() + L"\" /update held.bin /log held.log", folder_ + L"held.bin");
  ASSERT_TRUE(held.UpdaterRunning());
  DeleteFileW((folder_ + L"basic-log.txt").c_str());
  const OpenWindow window(GuiExe(), folder_);
  ASSERT_NE(window.Main(), nullptr);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return window.Logged("info RegisterDeviceNotify"); }));
  EXPECT_TRUE(window.Logged("info FillDataToListView skipped: firmware update in progress"));
  EXPECT_EQ(window.Rows(), 0);
  EXPECT_EQ(window.Status(), L"Firmware update in progress. The list refreshes when it ends.");

  // FWDownload is refused before any file dialog.
  PostMessageW(window.Main(), WM_COMMAND, IDM_FW_DOWNLOAD, 0);
  HWND box = nullptr;
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    for (HWND dialog : testsupport::FindThreadWindows(window.Thread(), L"#32770")) {
      EXPECT_TRUE(testsupport::IsMessageBox(dialog)) << "a dialog that is no message box: the file dialog?";
      box = dialog;
    }
    return box != nullptr;
  }, std::chrono::seconds(20)));
  EXPECT_EQ(testsupport::AnswerMessageBox(box).text, L"Another firmware update is running.");
  for (const std::string& line : DOCK_QUERY_LINES) EXPECT_FALSE(window.Logged(line)) << line;

  held.Release();
  EXPECT_EQ(testsupport::WaitForExit(held.Process(), 30000), 0u);
  // Read again by itself, shortly after the flash has ended.
  EXPECT_TRUE(testsupport::WaitUntil([&] { return window.Logged("info fwver 1.3.0.0"); }, std::chrono::seconds(10)));
  EXPECT_EQ(window.Rows(), 1);
  EXPECT_EQ(window.Status(), L"");
}

TEST_P(CommandLine, UpdateRunsBesideAnIdleWindowWhichThenShowsTheNewVersion) {
  const OpenWindow window(GuiExe(), folder_);
  ASSERT_NE(window.Main(), nullptr);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return window.Logged("info fwver 1.2.3.4"); }));
  // A flash as long as a few of the window's looks.
  const Outcome outcome =
      Run(L"/update \"" + Image(L"slow.bin", "out Writing image\nsleep 3000\nflash\nout " + TOOL_COMPLETED) +
              L"\" /log update.log",
          L"update.log");
  EXPECT_EQ(outcome.code, 0u) << outcome.err;
  EXPECT_TRUE(window.Logged("info FlashWatch firmware update in progress"));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return window.Logged("info fwver 1.3.0.0"); }, std::chrono::seconds(10)));
  EXPECT_EQ(window.Rows(), 1);
}

TEST(DockGuard, MachineWideObjectsWithThreeGrantsAndEveryDoubtCountsAsBusy) {
  EXPECT_EQ(std::wstring(DOCK_ACCESS_NAME).rfind(L"Global\\", 0), 0u);
  EXPECT_EQ(std::wstring(FLASH_RUNNING_NAME).rfind(L"Global\\", 0), 0u);
  {
    FlashGuard flash;
    ASSERT_TRUE(flash.Held());
    EXPECT_TRUE(FlashRunningAnywhere());
    EXPECT_FALSE(FlashGuard().Held()) << "a second flash";
    const DockQueryGuard look;
    EXPECT_FALSE(look.Granted());
    EXPECT_TRUE(look.FlashRunning());
    const DockQueryGuard own(&flash);
    EXPECT_TRUE(own.Granted()) << "the flashing copy reads its own dock";
    const UniqueHandle marker(OpenEventW(READ_CONTROL, FALSE, FLASH_RUNNING_NAME));
    const UniqueHandle mutex(OpenMutexW(READ_CONTROL, FALSE, DOCK_ACCESS_NAME));
    ASSERT_TRUE(marker);
    ASSERT_TRUE(mutex);
    ExpectThreeGrants(marker.Get(), EVENT_MODIFY_STATE, EVENT_ALL_ACCESS);
    ExpectThreeGrants(mutex.Get(), MUTEX_MODIFY_STATE, MUTEX_ALL_ACCESS);
  }
  EXPECT_FALSE(FlashRunningAnywhere());
  EXPECT_TRUE(DockQueryGuard().Granted());
  {
    // Objects that cannot be made or opened (as when another account made them
    // and denies us): a look is not granted, a flash not begun, and a flash is assumed.
    const DockGuardNamesForTest unusable(L"Global\\no-such-folder\\access", L"Global\\no-such-folder\\flash");
    const DockQueryGuard look;
    EXPECT_FALSE(look.Granted());
    EXPECT_FALSE(FlashGuard().Held());
    EXPECT_TRUE(FlashRunningAnywhere());
  }
  EXPECT_TRUE(DockQueryGuard().Granted());
}

TEST_P(CommandLine, RedirectedOutputIsUtf8) {
  const std::wstring image = folder_ + L"固件-短.bin";
  testsupport::WriteImage(image, 100, "");
  const Outcome outcome = Run(L"/update \"" + image + L"\"");
  EXPECT_EQ(outcome.code, 6u);
  EXPECT_NE(outcome.err.find(Utf8(image) + "\r\n"), std::string::npos) << outcome.err;
  EXPECT_NE(std::find(outcome.log.begin(), outcome.log.end(), "info CommandLine update " + Utf8(image)), outcome.log.end());
}

TEST_P(CommandLine, BatchFilesSeeTheExitCodeInErrorlevel) {
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


// The console twin at a prompt: cmd waits for it, shows its lines in place and
// sets %ERRORLEVEL%.
TEST_F(ConsoleTwin, CmdWaitsForItAndSeesItsExitCode) {
  testsupport::WriteImage(folder_ + L"short.bin", 100, "");
  testsupport::WriteFileBytes(folder_ + L"absent.ini", "present=0\n");
  const std::string twin = "\"" + Utf8(Twin()) + "\"";
  testsupport::WriteFileBytes(folder_ + L"twin.bat",
                              "@echo off\r\n" + twin + " /info\r\necho next\r\n" +
                              twin + " /info > nul\r\necho info=%ERRORLEVEL%> codes.txt\r\n" +
                              twin + " /update short.bin 2> nul\r\necho image=%ERRORLEVEL%>> codes.txt\r\n"
                              "set VARNOCK_SIM_DOCK=" + Utf8(folder_) + "absent.ini\r\n" +
                              twin + " /info 2> nul\r\necho nodock=%ERRORLEVEL%>> codes.txt\r\n" +
                              twin + " 2> nul\r\necho bare=%ERRORLEVEL%>> codes.txt\r\n");
  EXPECT_EQ(testsupport::RunProcess(L"cmd.exe /c twin.bat", 60000, folder_, folder_ + L"twin-out.txt"), 2u);
  EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"twin-out.txt"),
            "Vendor: Varnock\r\nProduct: Varnock USB-C Dock\r\nSerialNumber: VN-2026-0001\r\nFwRev: 1.2.3.4\r\nnext\r\n");
  EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"codes.txt"), "info=0\r\nimage=6\r\nnodock=3\r\nbare=2\r\n");
}

TEST_F(ConsoleTwin, CtrlCDuringTheFlashIsRefusedAndTheFlashRunsToItsEnd) {
  // This test and the twin share one console of their own (under a test
  // runner this process may sit on a console that cannot take signals); the
  // test itself shrugs the signal off.
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  SetConsoleCtrlHandler(IgnoreConsoleSignal, TRUE);
  const std::wstring started = folder_ + L"started.txt";
  const std::wstring image = folder_ + L"slow.bin";
  testsupport::WriteImage(image, 4096, "stamp " + Utf8(started) + "\nsleep 3000\nflash\nout " + TOOL_COMPLETED);
  const testsupport::ChildProcess run = testsupport::StartProcess(
      L"\"" + Twin() + L"\" /update slow.bin", folder_, folder_ + L"out.txt", folder_ + L"err.txt");
  ASSERT_NE(run.process, nullptr);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); },
                                     std::chrono::seconds(30)));
  EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  EXPECT_EQ(testsupport::WaitForExit(run.process, 60000), 0u) << "the flash was cut short";
  CloseHandle(run.process);
  EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"err.txt"), "A firmware update is running; it cannot be interrupted.\r\n");
  const std::string out = testsupport::ReadFileBytes(folder_ + L"out.txt");
  EXPECT_NE(out.find("Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n"), std::string::npos) << out;
  const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
  EXPECT_NE(std::find(log.begin(), log.end(), "error CommandLine CTRL_C_EVENT refused: firmware update in progress"),
            log.end());

  SetConsoleCtrlHandler(IgnoreConsoleSignal, FALSE);
}

INSTANTIATE_TEST_SUITE_P(Programs, CommandLine, ::testing::Values(GUI_PROGRAM, CONSOLE_TWIN),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.param == GUI_PROGRAM ? "Program" : "ConsoleTwin");
                         });

}  // namespace
