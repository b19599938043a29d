// The command-line modes of the program, driven as scripts drive them.
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <cwctype>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/log_lines.h"
#include "docks/dock_guard.h"
#include "resources/resource.h"
#include "shell/command_line/portable/command_line_parse.h"
#include "shell/command_line/flash_hold.h"
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
  // A flash a test leaves running would be the next test's "update in
  // progress": the test that leaves it fails, and the next starts clean.
  void TearDown() override {
    EXPECT_TRUE(testsupport::WaitUntil([] { return !FlashRunningAnywhere(); }, std::chrono::seconds(30)))
        << "a flash was still running when the test ended";
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
// and Authenticated Users `usersMay` unless that is 0 (then no entry at all).
void ExpectGrants(HANDLE object, DWORD usersMay, DWORD allAccess) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  const UniqueLocal owner(descriptor);
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, usersMay == 0 ? 2 : 3);
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
      EXPECT_EQ(ace->Mask, usersMay);
    }
  }
}

// How the power request was had depends on the system (Wine makes no power
// request, so the program falls back): the lines name it as "<way>".
const std::string POWER_REQUEST_SET = "info Power request set ";
std::vector<std::string> PowerRequestWayHidden(std::vector<std::string> log) {
  for (std::string& line : log) {
    if (line.rfind(POWER_REQUEST_SET, 0) == 0) line = POWER_REQUEST_SET + "<way>";
  }
  return log;
}

// The image's copy in a folder of the run's own: the line names the copy as
// "<copy>" once its folder and file name are checked.
const std::string IMAGE_COPY_LINE = "info FWDownload image copy ";
std::vector<std::string> ImageCopyHidden(std::vector<std::string> log, const std::wstring& image) {
  const std::string name = Utf8(image.substr(image.find_last_of(L'\\') + 1));
  for (std::string& line : log) {
    if (line.rfind(IMAGE_COPY_LINE, 0) != 0) continue;
    const std::string copy = line.substr(IMAGE_COPY_LINE.size());
    const bool own = copy.find("\\VarnockFWUpdate.") != std::string::npos &&
                     copy.size() > name.size() && copy.compare(copy.size() - name.size() - 1, std::string::npos, "\\" + name) == 0;
    if (own) line = IMAGE_COPY_LINE + "<copy>";
  }
  return log;
}
// The copy's path as the log names it; empty when there is none.
std::string LoggedImageCopy(const std::vector<std::string>& log) {
  for (const std::string& line : log) {
    if (line.rfind(IMAGE_COPY_LINE, 0) == 0) return line.substr(IMAGE_COPY_LINE.size());
  }
  return {};
}

void ExpectLogEndsWithExit(const Outcome& outcome) {
  ASSERT_FALSE(outcome.log.empty());
  EXPECT_EQ(outcome.log.back(), "info CommandLine exit " + std::to_string(outcome.code));
}

// Started suspended with the given standard output and error (and only
// them inherited), so that a test may put it in a job or keep its output unread.
PROCESS_INFORMATION StartSuspended(const std::wstring& commandLine, const std::wstring& folder, HANDLE out, HANDLE err) {
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  HANDLE handles[] = {out, err};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  InitializeProcThreadAttributeList(list, 1, 0, &size);
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof(handles), nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdOutput = out;
  startup.StartupInfo.hStdError = err;
  startup.lpAttributeList = list;
  PROCESS_INFORMATION info{};
  EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT,
                             nullptr, folder.c_str(), &startup.StartupInfo, &info));
  DeleteProcThreadAttributeList(list);
  return info;
}

UniqueHandle InheritableFile(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
}

// The updater's output as the log holds it, block after block.
std::string LoggedToolOutput(const std::vector<testsupport::LogRecord>& records) {
  const std::string prefix = std::string(LOG_UPDATER_READ) + "\n ";
  std::string output;
  for (const testsupport::LogRecord& record : records) {
    if (record.level == "info" && record.message.rfind(prefix, 0) == 0) {
      output += testsupport::UnmarkedToolOutput(record.message.substr(prefix.size()));
    }
  }
  return output;
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
      "{\"Vendor\":\"Varnock\",\"Product\":\"Varnock USB-C Dock\",\"SerialNumber\":\"VN-2026-0001\",\"FwRev\":\"1.2.3.4\",\"DockCount\":1}\r\n";
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
  EXPECT_EQ(outcome.out, "{\"Vendor\":\"Var\\\"nock\\\\\",\"Product\":\"P\",\"SerialNumber\":\"S\",\"FwRev\":\"\",\"DockCount\":1}\r\n");
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
      // A crash is an internal error too, named by its code and where it happened; never its NTSTATUS.
      {"a crash inside, info", DOCK_STATE + "init_crashes=1\n", L"/info", 14,
       "Internal error: exception 0xC0000005 at VarnockFWUpdate-demo"},
      {"/signer without /update", DOCK_STATE, L"/info /signer " + std::wstring(40, L'A'), 2,
       "Usage error: /signer goes with /update only"},
      {"/signer of 39 digits", DOCK_STATE, L"/update " + good + L" /signer " + std::wstring(39, L'a'), 2,
       "Usage error: /signer takes a SHA-1 thumbprint"},
      {"/signer not hexadecimal", DOCK_STATE, L"/update " + good + L" /signer " + std::wstring(40, L'g'), 2,
       "Usage error: /signer takes a SHA-1 thumbprint"},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(run.dock);
    const Outcome outcome = Run(run.args);
    EXPECT_EQ(outcome.code, run.code) << outcome.err;
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
  const std::vector<std::string> log = ImageCopyHidden(PowerRequestWayHidden(outcome.log), image);
  const std::vector<std::string> expected = {
      "info CommandLine update " + Utf8(image),
      IMAGE_COPY_LINE + "<copy>",
      "info FWDownload image sha256 " + testsupport::FileSha256(image),
      "info FWDownload updater not signed",
      "info CommandLine tool " + Utf8(Tool()),
      "info CommandLine QueryDock",
      "info iManufacturer Varnock",
      "info iProduct Varnock USB-C Dock",
      "info iSerialNumber VN-2026-0001",
      "info fwver 1.2.3.4",
      "info CommandLine run updater",
      POWER_REQUEST_SET + "<way>",
      "info RealFWDownload CreatePipe",
      "info RealFWDownload CreateProcess",
      "info ReadFile",
  };
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
  const std::vector<std::string> tail = {
      "info RealFWDownload end",          "info Power request cleared",
      "info CommandLine waiting for the dock 60 s",
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
    std::string dock = DOCK_STATE;  // before the run
    const char* result = nullptr;   // the JSON's Result word, when checked
  };
  const std::string done = "out " + TOOL_COMPLETED + "\n";
  const testsupport::ToolGate helperEnds(L"helper-ends");
  // The firmware request fails before the flash and answers again during it.
  const std::string versionUnknown = DOCK_STATE + "control_result=-7\n";
  const Case cases[] = {
      {"version before unknown, completes, no restart", "fwrequest 0\n" + done, {1, 3, 0, 0}, L" /wait 2", 10,
       "The updater reported success but the dock's version before the update was unknown and it did not restart, so "
       "the update cannot be confirmed; it reports 1.2.3.4.\r\n",
       TOOL_COMPLETED + "\r\n", true, versionUnknown, "unchanged"},
      {"version before unknown, the dock restarts", "fwrequest 0\nreboot 1500\n" + done, {1, 3, 0, 0}, L"", 0, "",
       "Firmware updated: unknown -> 1.2.3.4\r\n", true, versionUnknown, "updated"},
      {"version before unknown, the version asked for", "fwrequest 0\nflash\n" + done, {1, 3, 0, 0},
       L" /expect 1.3.0.0", 0, "", "Firmware updated: unknown -> 1.3.0.0\r\n", true, versionUnknown, "updated"},
      // Unopenable for a moment is no restart: it never left the bus.
      {"forced, unopenable for a second, never off the bus", "unopenable 1000\n" + done, {1, 2, 3, 4},
       L" /expect 1.2.3.4 /force /wait 3", 0, "", "The dock did not restart; it reports 1.2.3.4.\r\n", true,
       DOCK_STATE, "not-restarted"},
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
      // Another serial answers with the new version: not the dock that was flashed.
      {"another dock answers after the flash", "flash\nserial VN-OTHER\n" + done, {1, 3, 0, 0}, L" /wait 1", 9,
       "The updater reported success but the dock did not answer within 1 s.\r\n", TOOL_COMPLETED + "\r\n", true},
      {"flashes the expected version", "flash\n" + done, {1, 3, 0, 0}, L" /expect 1.3.0.0", 0, "",
       "Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n", true},
      {"dock already at the expected version", done, {1, 2, 3, 4}, L" /expect 1.2.3.4", 0, "",
       "Firmware already at 1.2.3.4; nothing flashed.\r\n", false},
      {"forced over the same version, no restart", "flash\n" + done, {1, 2, 3, 4}, L" /expect 1.2.3.4 /force /wait 2",
       0, "", "The dock did not restart; it reports 1.2.3.4.\r\n", true},
      {"forced, the version unchanged, no restart", done, {1, 3, 0, 0}, L" -FORCE /wait 2", 0, "",
       "The dock did not restart; it reports 1.2.3.4.\r\n", true},
      {"forced, the dock restarts with the same version", "rebootlooks 2\n" + done, {1, 3, 0, 0}, L" /force", 0, "",
       "Firmware updated: 1.2.3.4 -> 1.2.3.4\r\n", true},
      {"/expect compared as numbers", done, {1, 2, 3, 4}, L" /expect 01.2.03.004", 0, "",
       "Firmware already at 1.2.3.4; nothing flashed.\r\n", false},
      {"ends without its completion text", "out Writing image: 100%\n", {1, 3, 0, 0}, L" /wait 1", 10,
       "The updater ended without its completion text, and the dock still reports 1.2.3.4.\r\n",
       "Writing image: 100%\r\n", true},
      {"last line without a line end", "flash\n" + done + "raw 100% done", {1, 3, 0, 0}, L"", 0, "",
       "100% done\r\nFirmware updated: 1.2.3.4 -> 1.3.0.0\r\n", true},
      // Last: its helper keeps the flash marker until the table is done.
      {"a helper keeps the flash marker", helperEnds.LingerScript(30000) + done, {1, 3, 0, 0}, L" /wait 2", 7,
       "A firmware update is running; the dock is not read during a flash.\r\n", TOOL_COMPLETED + "\r\n", true},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(DOCK_STATE);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    SetDock(run.dock);
    const std::wstring image = Image(L"case.bin", RecordRun() + run.script, run.version);
    const Outcome outcome = Run(L"/update \"" + image + L"\"" + run.switches);
    EXPECT_EQ(outcome.code, run.code) << outcome.err;
    EXPECT_EQ(outcome.err, run.err);
    if (run.result != nullptr) {
      // The same run as one JSON object: its Result word, and no version before when none was known.
      SetDock(run.dock);
      const Outcome json = Run(L"/update \"" + image + L"\"" + run.switches + L" /json");
      std::map<std::string, std::string> members;
      ASSERT_TRUE(JsonObjectReader(json.out).Read(members)) << json.out;
      EXPECT_EQ(members["Result"], "\"" + std::string(run.result) + "\"");
      EXPECT_EQ(members["ExitCode"], std::to_string(run.code));
      if (run.dock == versionUnknown) {
        EXPECT_EQ(members["FwRevBefore"], "null");
      }
    }
    EXPECT_GE(outcome.out.size(), run.lastOut.size());
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - std::min(outcome.out.size(), run.lastOut.size())), run.lastOut)
        << outcome.out;
    EXPECT_EQ(ToolRan(), run.toolRuns);
    EXPECT_EQ(Logged(outcome, "info CommandLine run updater"), run.toolRuns);
    ExpectLogEndsWithExit(outcome);
  }
  helperEnds.Open();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Run(L"/info").code == 0; }, std::chrono::seconds(30)));
  const Outcome crashed = Run(L"/update \"" + Image(L"crash.bin", "exit 0xC0000005\n") + L"\"");
  EXPECT_TRUE(Logged(crashed, "info RealFWDownload tool exit code 0xC0000005")) << ::testing::PrintToString(crashed.log);
  const Outcome already = Run(L"/update \"" + Image(L"same.bin", done, {1, 2, 3, 4}) + L"\" /expect 1.2.3.4");
  EXPECT_TRUE(Logged(already, "info CommandLine firmware already at 1.2.3.4; nothing flashed"));
}

TEST_P(CommandLine, TheLogNeverReachesStandardOutputAndKeepsEveryLineOfAKilledRun) {
  const std::string json =
      "{\"Vendor\":\"Varnock\",\"Product\":\"Varnock USB-C Dock\",\"SerialNumber\":\"VN-2026-0001\",\"FwRev\":\"1.2.3.4\",\"DockCount\":1}\r\n";
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
  SetEvent(gate.Get());  // the updater it left ends now; TearDown waits for it
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

// What the updater prints cannot move the console's cursor or pass for one
// of the program's own log lines: on standard output ESC and the other
// control characters but tab, CR and LF are escaped; in the log every line of
// it starts with its mark (a lone CR ends a line there too, as Get-Content
// reads it), and a NUL is shown, with what follows it kept.
TEST_P(CommandLine, TheUpdatersOutputCannotPassForTheProgramsOwnLines) {
  const std::string forged = "[2026-12-11 10:00:00.000] [logger] [info] FWDownload image sha256 forged";
  const std::string payload = std::string("\x1B[2J\x1B]0;title\x07") + "done\tnow\r\nabc" + std::string(1, '\0') +
                              "def\r" + forged + "\n" + forged + "\r\n" + TOOL_COMPLETED + "\r\n";
  testsupport::WriteFileBytes(folder_ + L"payload.bin", payload);
  const Outcome outcome = Run(L"/update \"" + Image(L"loud.bin", "file " + Utf8(folder_) + "payload.bin\nflash\n") + L"\"");
  EXPECT_EQ(outcome.code, 0u) << outcome.err;
  EXPECT_EQ(outcome.out.substr(0, outcome.out.find(TOOL_COMPLETED)),
            "\\x1B[2J\\x1B]0;title\\x07done\tnow\r\nabc\\x00def\r" + forged + "\n" + forged + "\r\n");
  // The log as PowerShell reads it: lines end at CR LF, LF or a lone CR.
  const std::string log = testsupport::ReadFileBytes(folder_ + L"basic-log.txt");
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i] == '\r' || log[i] == '\n') {
      lines.push_back(current);
      current.clear();
      if (log[i] == '\r' && i + 1 < log.size() && log[i + 1] == '\n') ++i;
    } else {
      current += log[i];
    }
  }
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind("[2026-12-11 10:00:00", 0) == 0; }), 0)
      << "a line of the updater's passed for the program's own";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), " " + forged), 2);
  EXPECT_NE(log.find("abc\\x00def"), std::string::npos);
  EXPECT_EQ(LoggedToolOutput(testsupport::ReadLog(folder_ + L"basic-log.txt")), payload);
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
  // The stand-in flashes, then the dock drops off the bus for three looks, as after a real flash.
  const Outcome back = Run(L"/update \"" + Image(L"reboots.bin", "flash\nrebootlooks 3\nout " + TOOL_COMPLETED) + L"\"");
  EXPECT_EQ(back.code, 0u);
  EXPECT_NE(back.out.find("Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n"), std::string::npos) << back.out;
  EXPECT_EQ(std::count(back.log.begin(), back.log.end(), "error libusb_open_device_with_vid_pid failed"), 3)
      << "the run did not ask the dock once a second until it came back";

  const Outcome gone = Run(L"/update \"" + Image(L"never.bin", "flash\nreboot 600000\nout " + TOOL_COMPLETED) + L"\" /wait 2");
  EXPECT_EQ(gone.code, 9u);
  EXPECT_EQ(gone.err, "The updater reported success but the dock did not answer within 2 s.\r\n");
  ExpectLogEndsWithExit(gone);
}

// The power request is set just before the updater's pipe and cleared once
// the updater has ended or failed to start.
void ExpectPowerRequestAroundTheUpdater(const std::vector<std::string>& named) {
  const std::vector<std::string> log = PowerRequestWayHidden(named);
  const auto set = std::find(log.begin(), log.end(), POWER_REQUEST_SET + "<way>");
  const auto cleared = std::find(log.begin(), log.end(), "info Power request cleared");
  ASSERT_NE(set, log.end()) << ::testing::PrintToString(log);
  ASSERT_NE(cleared, log.end()) << ::testing::PrintToString(log);
  ASSERT_LT(set, cleared);
  // The image's hash before (taken as it was copied), then the pipe.
  ASSERT_LT(set + 1, cleared);
  const auto hash = std::find_if(log.begin(), log.end(), [](const std::string& line) {
    return line.rfind("info FWDownload image sha256 ", 0) == 0;
  });
  EXPECT_LT(hash, set);
  EXPECT_EQ(*(set + 1), "info RealFWDownload CreatePipe");
  const std::string& before = *(cleared - 1);
  EXPECT_TRUE(before == "info RealFWDownload end" || before.rfind("error CreateProcess failed ", 0) == 0) << before;
  EXPECT_EQ(std::count(log.begin(), log.end(), *set), 1);
}

TEST_P(CommandLine, TheBatteryIsCheckedAfterTheImageAndTheToolAndTheFlashKeepsTheComputerAwake) {
  const std::string unplugged18 =
      "The battery is at 18% and the computer is not plugged in. Connect the power adapter, then update again: a "
      "flash that loses power can leave the dock unusable.\r\n";
  struct Case {
    const char* what;
    const char* power;
    std::string script;
    const wchar_t* switches;
    DWORD code;
    std::string err;
    const char* logged;  // a line the run must log, or nothing
  };
  const std::string done = "flash\nout " + TOOL_COMPLETED + "\n";
  const Case cases[] = {
      {"on battery at 18%", "ac=0\nbattery=18\n", done, L"", 12, unplugged18, "error Power check refused: AC 0 battery 18%"},
      {"on battery at 24%", "ac=0\nbattery=24\n", done, L"", 12,
       "The battery is at 24% and the computer is not plugged in.", nullptr},
      {"on battery at 25%", "ac=0\nbattery=25\n", done, L"", 0, "", nullptr},
      {"charging at 9%", "ac=1\nbattery=9\n", done, L"", 12,
       "The battery is at 9%, too low to update safely even while charging.", nullptr},
      {"charging at 10%", "ac=1\nbattery=10\n", done, L"", 0, "", nullptr},
      {"on battery at 5%, told to ignore it", "ac=0\nbattery=5\n", done, L" /ignorepower", 0, "",
       "info Power check skipped: /ignorepower"},
      {"no battery", "ac=1\nbattery=255\n", done, L"", 0, "",
       "info Power check: battery unknown, going on: AC 1 battery 255"},
      {"the updater fails", "ac=1\nbattery=100\n", "out " + TOOL_FAILED + "\n", L"", 1, "Firmware update failed.\r\n",
       nullptr},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(DOCK_STATE + run.power);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    const Outcome outcome = Run(L"/update \"" + Image(L"case.bin", RecordRun() + run.script) + L"\"" + run.switches);
    EXPECT_EQ(outcome.code, run.code) << outcome.err;
    EXPECT_EQ(outcome.err.rfind(run.err, 0), 0u) << outcome.err;
    if (run.logged != nullptr) {
      EXPECT_TRUE(Logged(outcome, run.logged)) << ::testing::PrintToString(outcome.log);
    }
    EXPECT_EQ(ToolRan(), run.code != 12);
    if (run.code == 12) {
      EXPECT_EQ(outcome.out, "");
      EXPECT_FALSE(Logged(outcome, "info CommandLine QueryDock")) << "the dock was read before the refusal";
    } else {
      ExpectPowerRequestAroundTheUpdater(outcome.log);
    }
    ExpectLogEndsWithExit(outcome);
  }
  // The image and the tool are looked at first.
  SetDock(DOCK_STATE + "ac=0\nbattery=5\n");
  EXPECT_EQ(Run(L"/update \"" + folder_ + L"none.bin\"").code, 6u);
  // An updater that cannot start still clears the request.
  SetDock(DOCK_STATE);
  testsupport::WriteFileBytes(Tool(), "not a program\r\n");
  const Outcome notStarted = Run(L"/update \"" + Image(L"case.bin", done) + L"\"");
  EXPECT_EQ(notStarted.code, 8u);
  ExpectPowerRequestAroundTheUpdater(notStarted.log);
  DeleteFileW(Tool().c_str());
  EXPECT_EQ(Run(L"/update \"" + Image(L"case.bin", done) + L"\"").code, 5u);
}

TEST_P(CommandLine, WithMoreThanOneDockNothingIsFlashedAndInfoSaysSo) {
  struct Case {
    const char* what;
    std::string docks;
    std::wstring args;
    DWORD code;
    std::string out;
    std::string err;
  };
  const std::string json1 =
      "{\"Vendor\":\"Varnock\",\"Product\":\"Varnock USB-C Dock\",\"SerialNumber\":\"VN-2026-0001\",\"FwRev\":\"1.2.3.4\","
      "\"DockCount\":1}\r\n";
  const std::string json2 =
      "{\"Vendor\":\"Varnock\",\"Product\":\"Varnock USB-C Dock\",\"SerialNumber\":\"VN-2026-0001\",\"FwRev\":\"1.2.3.4\","
      "\"DockCount\":2}\r\n";
  const std::string refusal2 =
      "2 docks are connected. Unplug all but the one to update: the updater cannot be told which dock to flash.\r\n";
  const std::wstring image = L"\"" + Image(L"good.bin", RecordRun() + "flash\nout " + TOOL_COMPLETED) + L"\"";
  const Case cases[] = {
      {"one dock, json", DOCK_STATE, L"/info /json", 0, json1, ""},
      {"two docks, json", DOCK_STATE + "count=2\n", L"/info /json", 0, json2, "2 docks are connected; this is one of them.\r\n"},
      {"two docks, text", DOCK_STATE + "count=2\n", L"/info", 0,
       "Vendor: Varnock\r\nProduct: Varnock USB-C Dock\r\nSerialNumber: VN-2026-0001\r\nFwRev: 1.2.3.4\r\n",
       "2 docks are connected; this is one of them.\r\n"},
      {"first cannot be opened, second can", DOCK_STATE + "count=2\nopen_error=-12\nserial2=VN-B\n", L"/info", 0,
       "Vendor: Varnock\r\nProduct: Varnock USB-C Dock\r\nSerialNumber: VN-B\r\nFwRev: 1.2.3.4\r\n",
       "2 docks are connected; this is one of them.\r\n"},
      {"two docks, update", DOCK_STATE + "count=2\n", L"/update " + image, 13, "", refusal2},
      {"three docks, update", DOCK_STATE + "count=3\n", L"/update " + image, 13, "",
       "3 docks are connected. Unplug all but the one to update: the updater cannot be told which dock to flash.\r\n"},
      // Dock A at 1.2.3.4, dock B already at the version asked for: not "already there".
      {"A behind, B at the expected version", DOCK_STATE + "count=2\nserial2=VN-B\nfirmware2=1.3.0.0\n",
       L"/update " + image + L" /expect 1.3.0.0", 13, "", refusal2},
      {"first cannot be opened, update", DOCK_STATE + "count=2\nopen_error=-12\n", L"/update " + image, 13, "", refusal2},
      {"one dock, update", DOCK_STATE, L"/update " + image, 0, "Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n", ""},
  };
  for (const Case& run : cases) {
    SCOPED_TRACE(run.what);
    SetDock(run.docks);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    const Outcome outcome = Run(run.args);
    EXPECT_EQ(outcome.code, run.code) << outcome.err;
    EXPECT_EQ(outcome.err, run.err);
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - std::min(outcome.out.size(), run.out.size())), run.out);
    EXPECT_EQ(ToolRan(), run.code == 0 && run.args.rfind(L"/update", 0) == 0);
    ExpectLogEndsWithExit(outcome);
  }
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
  // The updater was given the copy by its full path, and the copy is gone once the run has ended.
  const std::string copy = LoggedImageCopy(updated.log);
  ASSERT_NE(ImageCopyHidden(updated.log, folder_ + L"fw.bin"), updated.log) << copy;
  EXPECT_NE(testsupport::ReadFileBytes(folder_ + L"ran.txt").find("-i \"" + copy + "\""), std::string::npos);
  EXPECT_EQ(GetFileAttributesW(Wide(copy).c_str()), INVALID_FILE_ATTRIBUTES);
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

// The top-level windows of a process, and among them its flash hold's.
std::vector<HWND> ProcessWindows(DWORD process, const wchar_t* className = nullptr) {
  struct Search {
    DWORD process;
    const wchar_t* className;
    std::vector<HWND> found;
  } search{process, className, {}};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* search = reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == search->process &&
            (search->className == nullptr || testsupport::ClassName(window) == search->className)) {
          search->found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// What a window answers when the session is about to end, as the system asks it.
struct SessionEndAnswer {
  bool answered = false;
  DWORD_PTR mayEnd = 0;
};
SessionEndAnswer AskSessionEnd(HWND window, LPARAM why) {
  SessionEndAnswer answer;
  answer.answered =
      SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, why, SMTO_ABORTIFHUNG, 5000, &answer.mayEnd) != 0;
  return answer;
}

// A command-line update whose updater waits at `gate` and, once let go,
// flashes and leaves the dock off the bus for longer than the run waits:
// after the updater the run sits in its wait for the dock until ended.
std::string FlashThenDockAwayScript(const std::wstring& started, const testsupport::ToolGate& gate) {
  return "stamp " + Utf8(started) + "\n" + gate.Script() + "flash\nreboot 600000\nout " + TOOL_COMPLETED;
}

TEST_P(CommandLine, LogoffAndShutdownAreRefusedThroughTheHiddenWindowOnlyWhileTheUpdaterRuns) {
  const std::wstring started = folder_ + L"started.txt";
  const testsupport::ToolGate gate(L"session-end");
  const std::wstring image = Image(L"held.bin", FlashThenDockAwayScript(started, gate));
  testsupport::ChildProcess run = testsupport::StartProcess(L"\"" + Exe() + L"\" /update held.bin /wait 120", folder_,
                                                            folder_ + L"out.txt", folder_ + L"err.txt");
  ASSERT_NE(run.process, nullptr);
  const UniqueHandle process(run.process);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); },
                                     std::chrono::seconds(30)));
  const auto refusals = [&] {
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    return std::count(log.begin(), log.end(), std::string("info ") + LOG_SESSION_END_REFUSED);
  };

  // During the flash: the hidden window says no to logoff and to shutdown, and logs each.
  const std::vector<HWND> hold = ProcessWindows(run.id, FLASH_HOLD_CLASS);
  ASSERT_EQ(hold.size(), 1u) << "no hidden window holds the session";
  for (const LPARAM why : {LPARAM{ENDSESSION_LOGOFF}, LPARAM{0}}) {
    const SessionEndAnswer answer = AskSessionEnd(hold[0], why);
    EXPECT_TRUE(answer.answered) << why;
    EXPECT_EQ(answer.mayEnd, static_cast<DWORD_PTR>(FALSE)) << why;
  }
  EXPECT_EQ(refusals(), 2);

  // After the updater, while the run waits for the dock: nothing holds the session.
  gate.Open();
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] {
        const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
        return std::find(log.begin(), log.end(), "info RealFWDownload end") != log.end() &&
               ProcessWindows(run.id, FLASH_HOLD_CLASS).empty();
      },
      std::chrono::seconds(30)));
  ASSERT_EQ(testsupport::WaitForExit(process.Get(), 0), STILL_ACTIVE) << "the run did not wait for the dock";
  for (HWND window : ProcessWindows(run.id)) {
    const SessionEndAnswer answer = AskSessionEnd(window, ENDSESSION_LOGOFF);
    if (answer.answered) {
      EXPECT_NE(answer.mayEnd, static_cast<DWORD_PTR>(FALSE)) << testsupport::Utf8(testsupport::ClassName(window));
    }
  }
  EXPECT_EQ(refusals(), 2);
  TerminateProcess(process.Get(), 1);
  WaitForSingleObject(process.Get(), 10000);
}

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
  // The flash lasts until the window's flash watch has seen it (at most 30 s).
  const testsupport::ToolGate seen(L"flash-seen");
  std::atomic<bool> watched{false};
  std::thread opener([&] {
    watched.store(testsupport::WaitUntil([&] { return window.Logged("info FlashWatch firmware update in progress"); },
                                         std::chrono::seconds(30)));
    seen.Open();
  });
  const Outcome outcome =
      Run(L"/update \"" + Image(L"slow.bin", "out Writing image\n" + seen.Script() + "flash\nout " + TOOL_COMPLETED) +
              L"\" /log update.log",
          L"update.log");
  opener.join();
  EXPECT_EQ(outcome.code, 0u) << outcome.err;
  EXPECT_TRUE(watched.load());
  EXPECT_TRUE(window.Logged("info FlashWatch firmware update in progress"));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return window.Logged("info fwver 1.3.0.0"); }, std::chrono::seconds(10)));
  EXPECT_EQ(window.Rows(), 1);
}

TEST_P(CommandLine, AStandardOutputNobodyReadsNeverHoldsUpTheFlash) {
  constexpr size_t BULK = 2 * 1024 * 1024;
  const std::wstring image = Image(L"loud.bin", "bulk " + std::to_string(BULK) + "\nflash\nout " + TOOL_COMPLETED);
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  ASSERT_TRUE(CreatePipe(&reader, &writer, &inherit, 0));
  const UniqueHandle readEnd(reader);
  UniqueHandle writeEnd(writer);
  SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
  const UniqueHandle err = InheritableFile(folder_ + L"err.txt");
  const PROCESS_INFORMATION run =
      StartSuspended(L"\"" + Exe() + L"\" /update \"" + image + L"\"", folder_, writeEnd.Get(), err.Get());
  const UniqueHandle process(run.hProcess);
  const UniqueHandle thread(run.hThread);
  writeEnd.Reset();
  ResumeThread(run.hThread);
  // Nobody reads our end: the updater runs to its end, the dock is flashed
  // and the log gets everything all the same. (The dock's state file is read
  // only afterwards: a reader could spoil the stand-in's replacing it.)
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    return std::find(log.begin(), log.end(), "info " + std::string(LOG_UPDATER_END)) != log.end();
  }, std::chrono::seconds(120)));
  // Read at once, within the writer's time after the updater's end: what was
  // shown, one line for what was not, then the verdict.
  std::string shown;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(reader, buffer, sizeof(buffer), &read, nullptr) && read > 0) shown.append(buffer, read);
  EXPECT_EQ(testsupport::WaitForExit(process.Get(), 30000), 0u);
  EXPECT_NE(testsupport::ReadFileBytes(folder_ + L"sim-dock.ini").find("firmware=1.3.0.0"), std::string::npos);
  const std::string logged = LoggedToolOutput(testsupport::ReadLog(folder_ + L"basic-log.txt"));
  EXPECT_EQ(logged.size(), BULK + TOOL_COMPLETED.size() + 2);
  const std::string verdict = "Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n";
  const std::string dropped = "\xE2\x80\xA6 ";
  const size_t line = shown.rfind(dropped);
  ASSERT_NE(line, std::string::npos) << shown.size() << " bytes shown";
  const std::string closing = shown.substr(line);
  const size_t count = std::strtoull(closing.c_str() + dropped.size(), nullptr, 10);
  EXPECT_EQ(closing, dropped + std::to_string(count) + " bytes of updater output were not shown; the log has them.\r\n" + verdict);
  EXPECT_GT(count, 0u);
  EXPECT_EQ(line + count, logged.size()) << "shown and dropped make up the whole output";
}

// A stream nobody ever reads holds the run only a bounded time after the
// updater has ended: the stuck write is cancelled, the rest is dropped and
// counted in the log, and the run goes on to its proof, its exit code and,
// under /json, its one JSON object on the other stream.
TEST_P(CommandLine, AStreamNobodyReadsNeverOutlivesTheUpdaterByMoreThanItsBound) {
  constexpr size_t BULK = 2 * 1024 * 1024;
  struct Case {
    const char* what;
    const wchar_t* switches;
    bool errorUnread;  // else standard output is the pipe nobody reads
  };
  const Case cases[] = {
      {"standard error unread, /json", L" /json /wait 10", true},
      {"standard output unread", L" /wait 10", false},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    SetDock(DOCK_STATE);
    const std::wstring image = Image(L"loud.bin", "bulk " + std::to_string(BULK) + "\nflash\nout " + TOOL_COMPLETED);
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    ASSERT_TRUE(CreatePipe(&reader, &writer, &inherit, 0));
    const UniqueHandle readEnd(reader);  // kept open, never read
    UniqueHandle writeEnd(writer);
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    const UniqueHandle file = InheritableFile(folder_ + L"read.txt");
    const PROCESS_INFORMATION run =
        StartSuspended(L"\"" + Exe() + L"\" /update \"" + image + L"\"" + row.switches, folder_,
                       row.errorUnread ? file.Get() : writeEnd.Get(), row.errorUnread ? writeEnd.Get() : file.Get());
    const UniqueHandle process(run.hProcess);
    const UniqueHandle thread(run.hThread);
    writeEnd.Reset();
    ResumeThread(run.hThread);
    // About two seconds after the updater's end; wide, so that only a run that waits for its reader fails.
    EXPECT_EQ(testsupport::WaitForExit(process.Get(), 120000), 0u);
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
      return line.rfind("error CommandLine ", 0) == 0 && line.find(" bytes of updater output not shown") != std::string::npos;
    })) << ::testing::PrintToString(log);
    EXPECT_EQ(log.back(), "info CommandLine exit 0");
    if (row.errorUnread) {
      std::map<std::string, std::string> members;
      ASSERT_TRUE(JsonObjectReader(testsupport::ReadFileBytes(folder_ + L"read.txt")).Read(members));
      EXPECT_EQ(members["Result"], "\"updated\"");
    }
  }
}

// A deployment agent's job around the run. Where the job allows breakaway,
// the updater leaves it, and the agent ending the job at its time-out ends
// the run but not the flash; where it does not, the updater runs inside.
TEST_P(CommandLine, AnUpdaterLeavesADeploymentJobThatAllowsIt) {
  struct Case {
    DWORD limits;
    const char* logged;
    const char* updater;  // where the updater found itself
  };
  const DWORD killOnClose = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  for (const Case& job : {Case{killOnClose | JOB_OBJECT_LIMIT_BREAKAWAY_OK, LOG_UPDATER_OUTSIDE_JOB, "in no job"},
                          Case{killOnClose, LOG_UPDATER_INSIDE_JOB, "in a job"}}) {
    SCOPED_TRACE(job.logged);
    SetDock(DOCK_STATE);
    DeleteFileW((folder_ + L"basic-log.txt").c_str());
    UniqueHandle jobObject(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = job.limits;
    ASSERT_TRUE(SetInformationJobObject(jobObject.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)));
    const std::wstring gateName = L"Local\\varnock-job-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle gate(CreateEventW(nullptr, TRUE, FALSE, gateName.c_str()));
    const std::wstring started = folder_ + L"job-started.txt";
    DeleteFileW(started.c_str());
    const std::wstring image = Image(L"job.bin", "injob " + Utf8(started) + "\nwaitevent " + Utf8(gateName) +
                                                     "\nflash\nout " + TOOL_COMPLETED);
    const UniqueHandle out = InheritableFile(folder_ + L"out.txt");
    const UniqueHandle err = InheritableFile(folder_ + L"err.txt");
    const PROCESS_INFORMATION run = StartSuspended(L"\"" + Exe() + L"\" /update \"" + image + L"\"", folder_, out.Get(), err.Get());
    const UniqueHandle process(run.hProcess);
    const UniqueHandle thread(run.hThread);
    ASSERT_TRUE(AssignProcessToJobObject(jobObject.Get(), run.hProcess));
    ResumeThread(run.hThread);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); }, std::chrono::seconds(30)));
    const bool brokeAway = job.logged == std::string(LOG_UPDATER_OUTSIDE_JOB);
    EXPECT_EQ(testsupport::ReadFileBytes(started), job.updater);
    if (brokeAway) {
      jobObject.Reset();  // the agent's time-out
      EXPECT_EQ(WaitForSingleObject(run.hProcess, 10000), WAIT_OBJECT_0) << "the run is ended with its job";
    }
    SetEvent(gate.Get());
    if (!brokeAway) {
      EXPECT_EQ(testsupport::WaitForExit(run.hProcess, 60000), 0u);
    }
    // The updater, orphaned or not, holds the flash marker until it ends.
    EXPECT_TRUE(testsupport::WaitUntil([] { return !FlashRunningAnywhere(); }, std::chrono::seconds(30)));
    EXPECT_NE(testsupport::ReadFileBytes(folder_ + L"sim-dock.ini").find("firmware=1.3.0.0"), std::string::npos);
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    EXPECT_NE(std::find(log.begin(), log.end(), "info " + std::string(job.logged)), log.end()) << ::testing::PrintToString(log);
  }
}

TEST_P(CommandLine, AGuardObjectThatCannotBeUsedIsNamedAndNotCalledAFlash) {
  const auto unusable = [](const wchar_t* name) {
    return "The dock guard " + Utf8(name) +
           " is held by another program or account; if no update is running, restart the computer.\r\n";
  };
  const std::string dockBusy = "The dock is being read by another copy of the program; try again.\r\n";
  struct Case {
    const char* what;
    std::function<UniqueHandle()> squat;  // held for the two runs
    std::string infoErr;
    std::string updateErr;
  };
  const Case cases[] = {
      {"another program's mutex under the flash marker's name",
       [] { return UniqueHandle(CreateMutexW(nullptr, FALSE, FLASH_RUNNING_NAME)); }, unusable(FLASH_RUNNING_NAME),
       unusable(FLASH_RUNNING_NAME)},
      // An event, but not with the marker's security: another program's, not a flash.
      {"another program's event under the flash marker's name",
       [] { return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, FLASH_RUNNING_NAME)); },
       unusable(FLASH_RUNNING_NAME), unusable(FLASH_RUNNING_NAME)},
      // The access mutex held past the guard's wait: a look, not a flash, in both modes.
      {"the access mutex held by another program",
       [] {
         UniqueHandle mutex(CreateMutexW(nullptr, FALSE, DOCK_ACCESS_NAME));
         WaitForSingleObject(mutex.Get(), 10000);  // owned by this thread, whoever made it
         return mutex;
       },
       dockBusy, dockBusy},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    std::promise<void> taken;
    std::promise<void> release;
    // Held on a thread of its own: a mutex is held by the thread that took it.
    std::thread holder([&] {
      const UniqueHandle squatter = row.squat();
      EXPECT_TRUE(squatter);
      taken.set_value();
      release.get_future().wait();
    });
    taken.get_future().wait();
    const Outcome info = Run(L"/info");
    EXPECT_EQ(info.code, 7u);
    EXPECT_EQ(info.err, row.infoErr);
    const Outcome update =
        Run(L"/update \"" + Image(L"guarded.bin", RecordRun() + "out " + TOOL_COMPLETED) + L"\" /json");
    EXPECT_EQ(update.code, 7u);
    EXPECT_EQ(update.err, row.updateErr);
    std::map<std::string, std::string> members;
    ASSERT_TRUE(JsonObjectReader(update.out).Read(members)) << update.out;
    EXPECT_EQ(members["Result"], "\"busy\"");
    EXPECT_FALSE(ToolRan());
    release.set_value();
    holder.join();
  }
}

// Run as an administrator (as Wine runs every program), the updater must be
// one that only administrators can change: the demo reads the descriptors
// from "<path>.sddl" beside the file or folder, as Wine keeps none.
TEST_P(CommandLine, AsAdministratorOnlyAnUpdaterAdministratorsAloneCanChangeRuns) {
  struct Case {
    std::wstring described;  // the file or folder whose descriptor is given
    const char* sddl;
    DWORD code;
    const char* account;
  };
  const std::wstring folder = folder_.substr(0, folder_.size() - 1);
  const Case cases[] = {
      {Tool(), "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", 0, ""},
      {Tool(), "O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301bf;;;BU)", 15, "BUILTIN\\Users"},
      {folder, "O:SYD:P(A;OICI;FA;;;SY)(A;;0x1200af;;;AU)", 15, "NT AUTHORITY\\Authenticated Users"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.sddl);
    SetDock(DOCK_STATE);
    testsupport::WriteFileBytes(row.described + L".sddl", row.sddl);
    const Outcome outcome = Run(L"/update \"" + Image(L"trust.bin", RecordRun() + "flash\nout " + TOOL_COMPLETED) + L"\"");
    DeleteFileW((row.described + L".sddl").c_str());
    EXPECT_EQ(outcome.code, row.code);
    EXPECT_EQ(ToolRan(), row.code == 0);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    if (row.code == 0) continue;
    EXPECT_EQ(outcome.err, "The updater " + Utf8(Tool()) + " can be changed by " + row.account +
                               "; run elevated, the program starts only an updater that administrators alone can change.\r\n");
    ExpectLogEndsWithExit(outcome);
  }
}

// The product itself reads the real descriptors: Wine makes them up from the
// Unix mode, owned by the signed-in user, so the product refuses its updater.
TEST(ProductUpdater, AsAdministratorTheProductRefusesAnUpdaterItsUserOwns) {
  const std::wstring folder = testsupport::FreshFolder(L"product-updater");
  CopyFileW((testsupport::BuildFolder() + L"VarnockFWUpdate-cli.exe").c_str(), (folder + L"VarnockFWUpdate-cli.exe").c_str(), FALSE);
  CopyFileW((testsupport::BuildFolder() + L"demo\\varnock_dockupdatefw.exe").c_str(), (folder + L"varnock_dockupdatefw.exe").c_str(), FALSE);
  testsupport::WriteImage(folder + L"image.bin", 4096, "record " + Utf8(folder) + "ran.txt\nout " + TOOL_COMPLETED);
  const DWORD code = testsupport::RunProcess(L"\"" + folder + L"VarnockFWUpdate-cli.exe\" /update image.bin", 60000, folder,
                                             folder + L"out.txt", folder + L"err.txt");
  EXPECT_EQ(code, 15u);
  const std::string err = testsupport::ReadFileBytes(folder + L"err.txt");
  const std::string start = "The updater " + Utf8(folder) + "varnock_dockupdatefw.exe can be changed by ";
  EXPECT_EQ(err.substr(0, start.size()), start) << err;
  EXPECT_NE(err.find("; run elevated, the program starts only an updater that administrators alone can change.\r\n"),
            std::string::npos) << err;
  EXPECT_EQ(GetFileAttributesW((folder + L"ran.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Whoever can write the image's folder swaps the file under its name while
// the updater runs, before it reads its image: the updater still flashes the
// bytes that were hashed, and the JSON names them.
TEST_P(CommandLine, TheUpdaterFlashesTheImageThatWasHashedWhateverHappensToItsName) {
  struct Case {
    const char* what;
    bool (*swap)(const std::wstring& image, const std::wstring& other);
  };
  const Case cases[] = {
      {"renamed over it",
       [](const std::wstring& image, const std::wstring& other) {
         return MoveFileExW(other.c_str(), image.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
       }},
      {"rewritten in place",
       [](const std::wstring& image, const std::wstring& other) {
         const std::string bytes = testsupport::ReadFileBytes(other);
         const UniqueHandle file(CreateFileW(image.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             TRUNCATE_EXISTING, 0, nullptr));
         DWORD written = 0;
         return file && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size();
       }},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    SetDock(DOCK_STATE);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    const testsupport::ToolGate gate(L"swap-" + Wide(row.what).substr(0, 6));
    const std::string script = RecordRun() + gate.Script() + "flash\nout " + TOOL_COMPLETED + "\n";
    const std::wstring image = Image(L"A.bin", script, {1, 3, 0, 0});
    const std::wstring other = Image(L"B.bin", script, {6, 6, 6, 6});
    const std::string pinned = testsupport::FileSha256(image);
    const testsupport::ChildProcess run =
        testsupport::StartProcess(L"\"" + Exe() + L"\" /update A.bin /sha256 " + Wide(pinned) + L" /json", folder_,
                                  folder_ + L"out.txt", folder_ + L"err.txt");
    ASSERT_NE(run.process, nullptr);
    const UniqueHandle process(run.process);
    // The updater has started and waits at its gate, before it reads its image.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ToolRan(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(row.swap(image, other));
    EXPECT_EQ(testsupport::FileSha256(image), testsupport::FileSha256(Image(L"C.bin", script, {6, 6, 6, 6})));
    gate.Open();
    EXPECT_EQ(testsupport::WaitForExit(process.Get(), 90000), 0u) << testsupport::ReadFileBytes(folder_ + L"err.txt");
    std::map<std::string, std::string> members;
    ASSERT_TRUE(JsonObjectReader(testsupport::ReadFileBytes(folder_ + L"out.txt")).Read(members));
    EXPECT_EQ(members["Result"], "\"updated\"");
    EXPECT_EQ(members["ImageSha256"], "\"" + pinned + "\"");
    EXPECT_EQ(members["FwRevAfter"], "\"1.3.0.0\"") << "the bytes flashed are the bytes hashed";
    EXPECT_NE(testsupport::ReadFileBytes(folder_ + L"sim-dock.ini").find("firmware=1.3.0.0"), std::string::npos);
    // The copy and its folder went with the run.
    const std::string copy = LoggedImageCopy(testsupport::LogMessages(folder_ + L"basic-log.txt"));
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(GetFileAttributesW(Wide(copy.substr(0, copy.find_last_of('\\'))).c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

// Between the updater's check and its start (here held by the simulated bus,
// which the run lists in between) nobody can replace, rewrite, delete or
// rename it, nor rename its folder: what starts is what was checked.
TEST_P(CommandLine, TheUpdaterThatStartsIsTheUpdaterThatWasChecked) {
  const testsupport::ToolGate listing(L"listing");
  SetDock(DOCK_STATE + "list_gate=" + Utf8(listing.Name()) + "\n");
  const std::wstring image = Image(L"held.bin", RecordRun() + "flash\nout " + TOOL_COMPLETED);
  const std::wstring evil = folder_ + L"evil.exe";
  ASSERT_TRUE(CopyFileW(Exe().c_str(), evil.c_str(), FALSE));
  const std::string checked = testsupport::FileSha256(Tool());
  const testsupport::ChildProcess run =
      testsupport::StartProcess(L"\"" + Exe() + L"\" /update held.bin", folder_, folder_ + L"out.txt", folder_ + L"err.txt");
  ASSERT_NE(run.process, nullptr);
  const UniqueHandle process(run.process);
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] {
        const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
        return std::find(log.begin(), log.end(), "info CommandLine QueryDock") != log.end();
      },
      std::chrono::seconds(60)));
  EXPECT_FALSE(MoveFileExW(evil.c_str(), Tool().c_str(), MOVEFILE_REPLACE_EXISTING)) << "replaced";
  EXPECT_FALSE(UniqueHandle(CreateFileW(Tool().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr)))
      << "opened for writing";
  EXPECT_FALSE(DeleteFileW(Tool().c_str())) << "deleted";
  const std::wstring folder = folder_.substr(0, folder_.size() - 1);
  const bool folderMoved = MoveFileExW(folder.c_str(), (folder + L"-moved").c_str(), 0) != FALSE;
  if (folderMoved) MoveFileExW((folder + L"-moved").c_str(), folder.c_str(), 0);
  EXPECT_FALSE(folderMoved) << "its folder renamed";
  listing.Open();
  EXPECT_EQ(testsupport::WaitForExit(process.Get(), 90000), 0u) << testsupport::ReadFileBytes(folder_ + L"err.txt");
  EXPECT_TRUE(ToolRan());
  EXPECT_EQ(testsupport::FileSha256(Tool()), checked);
  // Once it has started, it is not held any longer.
  EXPECT_TRUE(DeleteFileW(evil.c_str()));
}

// /signer starts only an updater whose valid signature is that certificate's;
// every flash logs who signed the updater, /signer or not.
TEST_P(CommandLine, SignerStartsOnlyAnUpdaterSignedWithThatCertificate) {
  const std::wstring made = testsupport::BuildFolder() + L"test-work\\signed-updaters\\";
  const auto line = [&](const wchar_t* file) {
    std::string text = testsupport::ReadFileBytes(made + file);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  };
  const std::string a = line(L"a.sha1"), b = line(L"b.sha1");
  ASSERT_EQ(a.size(), 40u);
  ASSERT_EQ(b.size(), 40u);
  // As Windows shows a thumbprint: lower case in pairs.
  std::string shownA;
  for (size_t i = 0; i < a.size(); i += 2) shownA += (i ? " " : "") + std::string(1, std::tolower(a[i])) + std::string(1, std::tolower(a[i + 1]));
  const std::string signedByA = "info FWDownload updater signed by " + line(L"a.subject") + " " + a;
  struct Case {
    const char* what;
    std::wstring updater;  // "" for the stand-in as built, unsigned
    std::wstring signer;
    DWORD code;
    const char* result;
    std::string logged;
  };
  const Case cases[] = {
      {"unsigned", L"", Wide(a), 16, "updater-not-signed", "info FWDownload updater not signed"},
      {"signed by the named certificate", L"signed-a.exe", L"\"" + Wide(shownA) + L"\"", 0, "updated", signedByA},
      {"signed by another certificate", L"signed-b.exe", Wide(a), 16, "signer-mismatch",
       "info FWDownload updater signed by " + line(L"b.subject") + " " + b},
      {"one byte changed after signing", L"signed-a-changed.exe", Wide(a), 16, "updater-not-signed",
       "error FWDownload updater signature invalid 0x80096010"},
      {"signed, no /signer asked", L"signed-a.exe", L"", 0, "updated", signedByA},
  };
  const std::wstring unsignedCopy = folder_ + L"unsigned-updater.exe";
  ASSERT_TRUE(CopyFileW(Tool().c_str(), unsignedCopy.c_str(), FALSE));
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    SetDock(DOCK_STATE);
    DeleteFileW((folder_ + L"ran.txt").c_str());
    ASSERT_TRUE(CopyFileW(row.updater.empty() ? unsignedCopy.c_str() : (made + row.updater).c_str(), Tool().c_str(), FALSE));
    const std::wstring image = Image(L"signer.bin", RecordRun() + "flash\nout " + TOOL_COMPLETED);
    const Outcome outcome =
        Run(L"/update \"" + image + L"\" /json" + (row.signer.empty() ? L"" : L" /signer " + row.signer));
    EXPECT_EQ(outcome.code, row.code) << outcome.err;
    EXPECT_EQ(ToolRan(), row.code == 0);
    EXPECT_TRUE(Logged(outcome, row.logged)) << ::testing::PrintToString(outcome.log);
    std::map<std::string, std::string> members;
    ASSERT_TRUE(JsonObjectReader(outcome.out).Read(members)) << outcome.out;
    EXPECT_EQ(members["Result"], "\"" + std::string(row.result) + "\"");
    if (row.code == 16) {
      // The text names what was found and what was asked for.
      EXPECT_NE(outcome.err.find("The updater " + Utf8(Tool()) + " is "), std::string::npos) << outcome.err;
      EXPECT_NE(outcome.err.find("; /signer asks for the certificate " + a + ". Nothing was started."), std::string::npos)
          << outcome.err;
    }
    ExpectLogEndsWithExit(outcome);
  }
}

// The updater works in its own folder, not in the folder the run was started
// from, which a deployment engine may have put where users can write.
TEST_P(CommandLine, TheUpdaterRunsInItsOwnFolder) {
  const std::wstring elsewhere = folder_ + L"elsewhere\\";
  CreateDirectoryW(elsewhere.c_str(), nullptr);
  testsupport::WriteFileBytes(elsewhere + L"sim-dock.ini", DOCK_STATE);
  const std::wstring image = Image(L"cwd.bin", "cwd " + Utf8(folder_) + "cwd.txt\nflash\nout " + TOOL_COMPLETED);
  const DWORD code = testsupport::RunProcess(L"\"" + Exe() + L"\" /update \"" + image + L"\"", 90000, elsewhere,
                                             elsewhere + L"out.txt", elsewhere + L"err.txt");
  EXPECT_EQ(code, 0u) << testsupport::ReadFileBytes(elsewhere + L"err.txt");
  const std::string current = testsupport::ReadFileBytes(folder_ + L"cwd.txt");
  EXPECT_TRUE(current == Utf8(folder_) || current + "\\" == Utf8(folder_)) << current;
}

// Run as SYSTEM or elevated (as every run under Wine is), a log name that is
// a second name of another file, or a link, is not written: one warning, and
// the run goes on without a log. Wine makes hard links; only the Unix side
// makes symbolic ones, which Wine follows and the final path then tells.
TEST_P(CommandLine, APrivilegedRunWritesNoLogThroughALink) {
  const std::wstring links = testsupport::BuildFolder() + L"test-work\\signed-updaters\\links\\";
  const std::wstring target = folder_ + L"target.txt";
  testsupport::WriteFileBytes(target, "someone else's file\n");
  ASSERT_TRUE(CreateHardLinkW((folder_ + L"second-name.txt").c_str(), target.c_str(), nullptr));
  struct Case {
    const char* what;
    std::wstring log;
    std::wstring untouched;
  };
  const Case cases[] = {
      {"a hard link", folder_ + L"second-name.txt", target},
      {"a symbolic link", links + L"link.txt", links + L"target.txt"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    const std::string before = testsupport::ReadFileBytes(row.untouched);
    const DWORD code = testsupport::RunProcess(L"\"" + Exe() + L"\" /info /log \"" + row.log + L"\"", 90000, folder_,
                                               folder_ + L"out.txt", folder_ + L"err.txt");
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(testsupport::ReadFileBytes(row.untouched), before);
    EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"err.txt"),
              "Warning: " + Utf8(row.log) +
                  " is a link or has other names, which a privileged run does not follow; going on without a log.\r\n");
    EXPECT_NE(testsupport::ReadFileBytes(folder_ + L"out.txt").find("SerialNumber: VN-2026-0001"), std::string::npos);
  }
  // A plain file of its own is written as always.
  const Outcome plain = Run(L"/info");
  EXPECT_EQ(plain.code, 0u);
  ExpectLogEndsWithExit(plain);
}

TEST(DockGuard, MachineWideObjectsForAdministratorsAndEveryDoubtCountsAsBusy) {
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
    // A user holding the marker open would stall every copy: users get nothing.
    ExpectGrants(marker.Get(), 0, EVENT_ALL_ACCESS);
    ExpectGrants(mutex.Get(), SYNCHRONIZE | MUTEX_MODIFY_STATE, MUTEX_ALL_ACCESS);
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
  // A guard object of the wrong type under either name is named as such, and is no flash.
  const std::wstring access = L"Local\\varnock-access-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring marker = L"Local\\varnock-flash-" + std::to_wstring(GetCurrentProcessId());
  const DockGuardNamesForTest names(access.c_str(), marker.c_str());
  struct Case {
    const std::wstring& squatted;
    bool asMutex;  // the marker is an event, the access object a mutex
    FlashMarker seen;
  };
  for (const Case& squat : {Case{marker, true, FlashMarker::Unusable}, Case{access, false, FlashMarker::Absent}}) {
    SCOPED_TRACE(Utf8(squat.squatted));
    const UniqueHandle squatter(squat.asMutex ? CreateMutexW(nullptr, FALSE, squat.squatted.c_str())
                                              : CreateEventW(nullptr, TRUE, FALSE, squat.squatted.c_str()));
    ASSERT_TRUE(squatter);
    EXPECT_EQ(QueryFlashMarker(), squat.seen);
    const DockQueryGuard look;
    EXPECT_FALSE(look.Granted());
    EXPECT_FALSE(look.FlashRunning());
    ASSERT_NE(look.Unusable(), nullptr);
    EXPECT_EQ(look.Unusable(), squat.squatted);
    const FlashGuard flash;
    EXPECT_FALSE(flash.Held());
    ASSERT_NE(flash.Unusable(), nullptr);
    EXPECT_EQ(flash.Unusable(), squat.squatted);
    ASSERT_NE(UnusableDockGuard(), nullptr);
    EXPECT_EQ(UnusableDockGuard(), squat.squatted);
  }
  EXPECT_TRUE(DockQueryGuard().Granted());
  EXPECT_EQ(UnusableDockGuard(), nullptr);
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

// A console signal to the twin. Ctrl+C goes to every process of the
// console, as the keys would send it; Ctrl+Break and the console's close
// are run in the twin's own console routine, as the system runs them
// (Wine's GenerateConsoleCtrlEvent brings no Ctrl+Break to a group 0, and
// nothing but a closed console window makes CTRL_CLOSE_EVENT).
bool SendConsoleSignal(HANDLE process, DWORD event, HANDLE* signal = nullptr) {
  if (event == CTRL_C_EVENT) return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
  const auto ctrlRoutine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
  if (ctrlRoutine == nullptr) return false;
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, ctrlRoutine,
                                     reinterpret_cast<void*>(static_cast<DWORD_PTR>(event)), 0, nullptr);
  if (thread == nullptr) return false;
  if (signal != nullptr) {
    *signal = thread;
  } else {
    CloseHandle(thread);
  }
  return true;
}

TEST_F(ConsoleTwin, CtrlCAndCtrlBreakDuringTheFlashAreRefusedAndTheFlashRunsToItsEnd) {
  // This test and the twin share one console of their own (under a test
  // runner this process may sit on a console that cannot take signals); the
  // test itself shrugs the signal off.
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  SetConsoleCtrlHandler(IgnoreConsoleSignal, TRUE);
  struct Case {
    DWORD event;
    const char* name;
  };
  for (const Case& c : {Case{CTRL_C_EVENT, "CTRL_C_EVENT"}, Case{CTRL_BREAK_EVENT, "CTRL_BREAK_EVENT"}}) {
    SCOPED_TRACE(c.name);
    DeleteFileW((folder_ + L"basic-log.txt").c_str());
    testsupport::WriteFileBytes(folder_ + L"sim-dock.ini", DOCK_STATE);
    const std::wstring started = folder_ + L"started.txt";
    DeleteFileW(started.c_str());
    const std::wstring image = folder_ + L"slow.bin";
    // The flash goes on once the twin has answered the signal (or after 30 s).
    const testsupport::ToolGate answered(L"ctrl-answered");
    testsupport::WriteImage(image, 4096, "stamp " + Utf8(started) + "\n" + answered.Script() + "flash\nout " + TOOL_COMPLETED);
    const testsupport::ChildProcess run = testsupport::StartProcess(
        L"\"" + Twin() + L"\" /update slow.bin", folder_, folder_ + L"out.txt", folder_ + L"err.txt");
    ASSERT_NE(run.process, nullptr);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); },
                                       std::chrono::seconds(30)));
    EXPECT_TRUE(SendConsoleSignal(run.process, c.event));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(folder_ + L"err.txt").empty(); },
                                       std::chrono::seconds(30)));
    answered.Open();
    EXPECT_EQ(testsupport::WaitForExit(run.process, 60000), 0u) << "the flash was cut short";
    CloseHandle(run.process);
    EXPECT_EQ(testsupport::ReadFileBytes(folder_ + L"err.txt"), "A firmware update is running; it cannot be interrupted.\r\n");
    const std::string out = testsupport::ReadFileBytes(folder_ + L"out.txt");
    EXPECT_NE(out.find("Firmware updated: 1.2.3.4 -> 1.3.0.0\r\n"), std::string::npos) << out;
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    EXPECT_NE(std::find(log.begin(), log.end(),
                        std::string("error CommandLine ") + c.name + " refused: firmware update in progress"),
              log.end());
  }
  SetConsoleCtrlHandler(IgnoreConsoleSignal, FALSE);
}

// Closing the console: the system runs the console's control routine in the
// process with CTRL_CLOSE_EVENT, as it does here through a thread of the
// test's making. The twin holds on in its handler until the updater has ended.
TEST_F(ConsoleTwin, ClosingTheConsoleDuringTheFlashIsHeldUntilTheUpdaterHasEnded) {
  const std::wstring started = folder_ + L"started.txt";
  const std::wstring ended = folder_ + L"updater-ended.txt";
  const testsupport::ToolGate gate(L"close-answered");
  testsupport::WriteImage(folder_ + L"slow.bin", 4096,
                          "stamp " + Utf8(started) + "\n" + gate.Script() + "flash\nout " + TOOL_COMPLETED +
                              "\nstamp " + Utf8(ended) + "\n");
  const testsupport::ChildProcess run = testsupport::StartProcess(
      L"\"" + Twin() + L"\" /update slow.bin", folder_, folder_ + L"out.txt", folder_ + L"err.txt");
  ASSERT_NE(run.process, nullptr);
  const UniqueHandle process(run.process);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); },
                                     std::chrono::seconds(30)));
  HANDLE thread = nullptr;
  ASSERT_TRUE(SendConsoleSignal(process.Get(), CTRL_CLOSE_EVENT, &thread)) << GetLastError();
  const UniqueHandle signal(thread);
  const auto logged = [&](const std::string& line) {
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    return std::find(log.begin(), log.end(), line) != log.end();
  };
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] { return logged("error CommandLine CTRL_CLOSE_EVENT refused: firmware update in progress"); },
      std::chrono::seconds(30)));
  // The handler holds on: the signal is not over while the updater runs.
  EXPECT_EQ(WaitForSingleObject(signal.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(testsupport::WaitForExit(process.Get(), 0), STILL_ACTIVE);
  gate.Open();
  // Once the updater has ended the handler lets the signal go: Windows ends
  // the twin then, Wine lets it run on to its end.
  EXPECT_EQ(WaitForSingleObject(signal.Get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(testsupport::ReadFileBytes(ended).empty()) << "the updater did not run to its end";
  EXPECT_TRUE(logged("info RealFWDownload end"));
  EXPECT_NE(testsupport::WaitForExit(process.Get(), 60000), STILL_ACTIVE);
}

// Ended by Ctrl+C's default handler, long before the run would have ended
// by itself: Windows reports STATUS_CONTROL_C_EXIT, Wine 0.
void ExpectEndedByCtrlC(HANDLE process) {
  const DWORD code = testsupport::WaitForExit(process, 30000);
  EXPECT_TRUE(code == static_cast<DWORD>(STATUS_CONTROL_C_EXIT) || code == 0) << std::hex << code;
}

// Before the updater starts and once it has ended, Ctrl+C ends the twin as
// Ctrl+C ends any console program.
TEST_F(ConsoleTwin, CtrlCBeforeAndAfterTheFlashEndsTheRunAsUsual) {
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  SetConsoleCtrlHandler(IgnoreConsoleSignal, TRUE);
  const std::wstring started = folder_ + L"started.txt";
  const testsupport::ToolGate gate(L"ctrl-c-after");
  testsupport::WriteImage(folder_ + L"held.bin", 4096, FlashThenDockAwayScript(started, gate));
  {
    // Before: the twin's first look at the (simulated) dock reads its state
    // through a pipe that this test answers only after the signal.
    const std::wstring pipeName = L"\\\\.\\pipe\\varnock-state-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle pipe(CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(pipe);
    UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = connected.Get();
    if (!ConnectNamedPipe(pipe.Get(), &overlapped) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(connected.Get());
    SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", pipeName.c_str());
    const testsupport::ChildProcess run = testsupport::StartProcess(L"\"" + Twin() + L"\" /update held.bin", folder_,
                                                                    folder_ + L"out.txt", folder_ + L"err.txt");
    SetEnvironmentVariableW(L"VARNOCK_SIM_DOCK", nullptr);
    ASSERT_NE(run.process, nullptr);
    const UniqueHandle process(run.process);
    ASSERT_EQ(WaitForSingleObject(connected.Get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ExpectEndedByCtrlC(process.Get());
    CancelIo(pipe.Get());
    EXPECT_TRUE(testsupport::ReadFileBytes(started).empty()) << "the updater ran";
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    EXPECT_TRUE(log.empty() || log.back().rfind("info CommandLine exit ", 0) != 0) << "the run went on to its end";
  }
  {
    // After: the updater has ended and the twin waits for the dock.
    DeleteFileW((folder_ + L"basic-log.txt").c_str());
    testsupport::WriteFileBytes(folder_ + L"sim-dock.ini", DOCK_STATE);
    const testsupport::ChildProcess run = testsupport::StartProcess(
        L"\"" + Twin() + L"\" /update held.bin /wait 120", folder_, folder_ + L"out.txt", folder_ + L"err.txt");
    ASSERT_NE(run.process, nullptr);
    const UniqueHandle process(run.process);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !testsupport::ReadFileBytes(started).empty(); },
                                       std::chrono::seconds(30)));
    gate.Open();
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
          const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
          return std::find(log.begin(), log.end(), "info RealFWDownload end") != log.end() &&
                 ProcessWindows(run.id, FLASH_HOLD_CLASS).empty();
        },
        std::chrono::seconds(30)));
    ASSERT_EQ(testsupport::WaitForExit(process.Get(), 0), STILL_ACTIVE) << "the twin did not wait for the dock";
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    ExpectEndedByCtrlC(process.Get());
    const std::vector<std::string> log = testsupport::LogMessages(folder_ + L"basic-log.txt");
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().rfind("info CommandLine exit ", 0), 0u) << "the run went on to its end: " << log.back();
    EXPECT_EQ(std::find(log.begin(), log.end(), "error CommandLine CTRL_C_EVENT refused: firmware update in progress"),
              log.end());
  }
  SetConsoleCtrlHandler(IgnoreConsoleSignal, FALSE);
}

INSTANTIATE_TEST_SUITE_P(Programs, CommandLine, ::testing::Values(GUI_PROGRAM, CONSOLE_TWIN),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.param == GUI_PROGRAM ? "Program" : "ConsoleTwin");
                         });

}  // namespace
