// The portable parts, built and run natively: the updater's verdict over its
// streamed output and exit code, the UTF-8 pass-through of its output, the
// image rule, the updater command line, the command-line parser and usage
// text, and the dock's column table with the texts made from it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/portable/text_conversion.h"
#include "docks/portable/clipboard_text.h"
#include "docks/portable/device_paths.h"
#include "docks/portable/dock_count.h"
#include "docks/portable/dock_identity.h"
#include "docks/portable/dock_info.h"
#include "docks/portable/dock_report.h"
#include "shell/command_line/portable/command_line_parse.h"
#include "update/portable/battery_rule.h"
#include "update/portable/system_power_status.h"
#include "shell/command_line/portable/update_result.h"
#include "update/portable/firmware_image.h"
#include "update/portable/tool_output_line.h"
#include "update/portable/tool_output_utf8.h"
#include "update/portable/update_outcome.h"
#include "update/portable/updater_command.h"

namespace {
std::string Utf8(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}
}  // namespace

namespace {

const std::string TOOL_COMPLETED(UPDATE_COMPLETED_TEXT);
const std::string TOOL_FAILED(UPDATE_FAILED_TEXT);

// The rule over the whole output at once, as the reference: the failure text
// is the later of the two.
bool FailedWhole(const std::string& output) {
  const size_t failure = output.rfind(TOOL_FAILED);
  const size_t completion = output.rfind(TOOL_COMPLETED);
  return failure != std::string::npos && (completion == std::string::npos || failure > completion);
}

// Feeds `output` cut at the given positions.
bool FailedInBlocks(const std::string& output, std::vector<size_t> cuts) {
  UpdateOutcome outcome;
  size_t start = 0;
  cuts.push_back(output.size());
  for (size_t cut : cuts) {
    outcome.Feed(output.data() + start, cut - start);
    start = cut;
  }
  return outcome.Failed();
}

}  // namespace

TEST(UpdateOutcome, RuleOverTheWholeOutput) {
  struct Case {
    std::string output;
    bool failed;
  };
  const Case cases[] = {
      {"", false},
      {"Writing image: 100%\r\n", false},
      {TOOL_COMPLETED + "\r\n", false},
      {TOOL_FAILED + "\r\n", true},
      {"error\r\n" + TOOL_FAILED + "\r\nmore output afterwards\r\n", true},
      {TOOL_FAILED + "\r\n" + TOOL_COMPLETED + "\r\n", false},
      {TOOL_COMPLETED + "\r\n" + TOOL_FAILED + "\r\n", true},  // failed after completing
      {TOOL_FAILED + TOOL_COMPLETED + TOOL_FAILED + TOOL_COMPLETED, false},
      {"firmware update failed", false},
      {"Firmware update faile", false},
      {"Firmware install (phase-1) complete " + TOOL_FAILED, true},
      {TOOL_FAILED, true},  // no line end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    UpdateOutcome outcome;
    outcome.Feed(c.output.data(), c.output.size());
    EXPECT_EQ(outcome.Failed(), c.failed);
    EXPECT_EQ(FailedWhole(c.output), c.failed);  // the reference agrees
  }
  UpdateOutcome nothing;
  EXPECT_FALSE(nothing.Failed());
  nothing.Feed("", 0);
  EXPECT_FALSE(nothing.Failed());
}

TEST(UpdateOutcome, TextsSplitAtEveryPositionAreFound) {
  const std::string outputs[] = {
      "progress 90%\r\n" + TOOL_FAILED + "\r\n",
      TOOL_FAILED + "\r\nverify\r\n" + TOOL_COMPLETED + "\r\n",
      "Firmware update " + TOOL_FAILED,  // a false start just before the text
      "Firmware install (phase-1) " + TOOL_COMPLETED + " then " + TOOL_FAILED,
  };
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    const bool expected = FailedWhole(output);
    for (size_t cut = 0; cut <= output.size(); ++cut) {
      ASSERT_EQ(FailedInBlocks(output, {cut}), expected) << "cut at " << cut;
    }
    // Three blocks: every pair of cuts, so texts spread over a tiny middle block too.
    for (size_t first = 0; first <= output.size(); ++first) {
      for (size_t second = first; second <= output.size(); ++second) {
        ASSERT_EQ(FailedInBlocks(output, {first, second}), expected) << "cuts at " << first << ", " << second;
      }
    }
  }
}

TEST(UpdateOutcome, OneByteBlocksAndEmptyBlocks) {
  for (const std::string& output : {TOOL_FAILED, "xx" + TOOL_FAILED + "yy" + TOOL_COMPLETED, "a" + TOOL_COMPLETED}) {
    UpdateOutcome outcome;
    for (char c : output) {
      outcome.Feed(&c, 1);
      outcome.Feed(&c, 0);
    }
    EXPECT_EQ(outcome.Failed(), FailedWhole(output)) << output;
  }
}

TEST(UpdateOutcome, MatchesTheWholeOutputRuleOnRandomStreams) {
  std::mt19937 random(20260611);
  const std::string pieces[] = {TOOL_FAILED, TOOL_COMPLETED, "Firmware ", "update ", "install (phase-1) ", "failed",
                                "completed", "\r\n", "x", "Firmware update fail", "(phase-1)"};
  for (int round = 0; round < 3000; ++round) {
    std::string output;
    const int count = std::uniform_int_distribution<int>(0, 8)(random);
    for (int i = 0; i < count; ++i) output += pieces[random() % std::size(pieces)];
    std::vector<size_t> cuts;
    for (size_t at = 0; at < output.size();) {
      at += std::uniform_int_distribution<size_t>(0, 40)(random);
      if (at < output.size()) cuts.push_back(at);
    }
    ASSERT_EQ(FailedInBlocks(output, cuts), FailedWhole(output)) << output;
  }
}

TEST(UpdateOutcome, MegabytesInReadSizedBlocks) {
  // A failure early in 8 MB of other output, and the same with the
  // completion text at the very end, in blocks of the reader's size.
  std::string filler;
  while (filler.size() < 8 * 1024 * 1024) {
    filler += "progress: writing block ........................................\r\n";
  }
  for (const bool completeAtEnd : {false, true}) {
    std::string output = "start\r\n" + TOOL_FAILED + "\r\n" + filler + (completeAtEnd ? TOOL_COMPLETED : "");
    std::vector<size_t> cuts;
    for (size_t at = 5119; at < output.size(); at += 5119) cuts.push_back(at);
    EXPECT_EQ(FailedInBlocks(output, cuts), !completeAtEnd);
  }
  // The failure text straddling the last seam of a long run.
  std::string late = filler + TOOL_FAILED;
  EXPECT_TRUE(FailedInBlocks(late, {late.size() - 7}));
}

TEST(UpdaterVerdict, TextAndExitCodeTogether) {
  constexpr std::uint32_t CRASHED = 0xC0000005, KILLED = 0xC000013A;
  struct Case {
    const char* what;
    std::string output;
    std::uint32_t exitCode;
    bool failed;
  };
  const std::string done = "Writing image: 100%\r\n" + TOOL_COMPLETED + "\r\n";
  const Case cases[] = {
      {"completed, exit 0", done, 0, false},
      {"completed, exit 1", done, 1, false},  // the tool's own word counts over a plain code
      {"completed, then crashed", done, CRASHED, true},
      {"completed, then killed", done, KILLED, true},
      {"silent, exit 0", "", 0, false},
      {"silent, exit 1", "", 1, true},
      {"silent, crashed", "", CRASHED, true},
      {"progress, killed", "Writing image: 10%\r\n", KILLED, true},
      {"failure text, exit 0", TOOL_FAILED, 0, true},
      {"failure after completion, exit 0", done + TOOL_FAILED, 0, true},
      {"completion after failure, exit 0", TOOL_FAILED + done, 0, false},
      {"completion after failure, exit 1", TOOL_FAILED + done, 1, false},
      {"completion after failure, crashed", TOOL_FAILED + done, CRASHED, true},
      {"last error status below the line", done, 0xBFFFFFFF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UpdateOutcome outcome;
    outcome.Feed(c.output.data(), c.output.size());
    EXPECT_EQ(UpdaterRunFailed(outcome, c.exitCode), c.failed);
  }
  EXPECT_EQ(ExitCodeText(CRASHED), "0xC0000005");
  EXPECT_EQ(ExitCodeText(0), "0x0");
  EXPECT_EQ(ExitCodeText(1), "0x1");
}

// Windows-1252 for the tests: every byte is one character.
size_t Latin1ToUtf8(std::string_view ansi, std::string& utf8) {
  for (const char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return ansi.size();
}

TEST(ToolOutputUtf8, ValidTextPassesOtherTextIsDecodedAndNoCharacterIsSplit) {
  struct Case {
    const char* what;
    std::vector<std::string> blocks;
    std::vector<std::string> writes;  // what each Feed returns, then Finish
  };
  const std::string gu = "\xE5\x9B\xBA";        // U+56FA, three bytes
  const std::string emoji = "\xF0\x9F\x94\x8C";  // U+1F50C, four bytes
  const Case cases[] = {
      {"ASCII", {"Writing image\r\n"}, {"Writing image\r\n", ""}},
      {"UTF-8 whole", {gu + "件\r\n"}, {gu + "件\r\n", ""}},
      {"UTF-8 split after one byte", {"a\xE5", "\x9B\xBA"}, {"a", gu, ""}},
      {"UTF-8 split after two bytes", {"\xE5\x9B", "\xBA!"}, {"", gu + "!", ""}},
      {"four bytes over three blocks", {"\xF0\x9F", "\x94", "\x8C"}, {"", "", emoji, ""}},
      {"ANSI block", {"caf\xE9\r\n"}, {"caf\xC3\xA9\r\n", ""}},
      {"overlong form is no UTF-8", {"\xC0\xAF"}, {"\xC3\x80\xC2\xAF", ""}},
      {"surrogate is no UTF-8", {"\xED\xA0\x80"}, {"\xC3\xAD\xC2\xA0\xC2\x80", ""}},
      {"unfinished at the end", {"ok\xE5\x9B"}, {"ok", "\xC3\xA5\xC2\x9B"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolOutputUtf8 text(Latin1ToUtf8);
    std::vector<std::string> writes;
    for (const std::string& block : c.blocks) writes.push_back(text.Feed(block));
    writes.push_back(text.Finish());
    EXPECT_EQ(writes, c.writes);
  }
}

TEST(FirmwareImageRule, SizeAndSignature) {
  const std::uint8_t signed_[8] = {'F', 'W', 'C', 'T', 9, 9, 9, 9};
  const std::uint8_t lower[8] = {'f', 'w', 'c', 't'};
  const std::uint8_t fourth[8] = {'F', 'W', 'C', 't'};
  const std::uint8_t empty[8] = {};
  EXPECT_EQ(JudgeFirmwareImage(1024, signed_), FirmwareImageCheck::Accepted);
  EXPECT_EQ(JudgeFirmwareImage(1LL << 40, signed_), FirmwareImageCheck::Accepted);
  EXPECT_EQ(JudgeFirmwareImage(1023, signed_), FirmwareImageCheck::TooShort);
  EXPECT_EQ(JudgeFirmwareImage(0, signed_), FirmwareImageCheck::TooShort);
  EXPECT_EQ(JudgeFirmwareImage(-1, signed_), FirmwareImageCheck::TooShort);
  EXPECT_EQ(JudgeFirmwareImage(4096, lower), FirmwareImageCheck::BadSignature);
  EXPECT_EQ(JudgeFirmwareImage(4096, fourth), FirmwareImageCheck::BadSignature);
  EXPECT_EQ(JudgeFirmwareImage(4096, empty), FirmwareImageCheck::BadSignature);
}

TEST(UpdaterCommand, FixedArgumentsAroundTheQuotedPaths) {
  EXPECT_EQ(BuildUpdaterCommandLine(L"D:\\T\\varnock_dockupdatefw.exe", L"E:\\fw.bin"),
            L"\"D:\\T\\varnock_dockupdatefw.exe\" -vid 3A7D -pid B070 -i \"E:\\fw.bin\" -l v");
  EXPECT_EQ(
      BuildUpdaterCommandLine(L"C:\\Program Files\\Varnock\\varnock_dockupdatefw.exe", L"C:\\my fw\\新 固件.bin"),
      L"\"C:\\Program Files\\Varnock\\varnock_dockupdatefw.exe\" -vid 3A7D -pid B070 -i \"C:\\my fw\\新 固件.bin\" -l v");
}

TEST(UpdaterCommand, LinesUpTo1023UnitsFitTheBuffer) {
  const std::wstring tool = L"C:\\T\\varnock_dockupdatefw.exe";
  const size_t fixed = BuildUpdaterCommandLine(tool, L"").size();
  EXPECT_EQ(fixed, tool.size() + 33);
  const std::wstring fits = BuildUpdaterCommandLine(tool, std::wstring(1023 - fixed, L'a'));
  const std::wstring tooLong = BuildUpdaterCommandLine(tool, std::wstring(1024 - fixed, L'a'));
  ASSERT_EQ(fits.size(), 1023u);
  ASSERT_EQ(tooLong.size(), 1024u);
  EXPECT_TRUE(FitsCommandLineBuffer(fits));
  EXPECT_FALSE(FitsCommandLineBuffer(tooLong));
  EXPECT_FALSE(FitsCommandLineBuffer(std::wstring(5000, L'a')));
  EXPECT_TRUE(FitsCommandLineBuffer(L""));
}

TEST(UpdaterCommand, ToolLiesInTheProgramsFolder) {
  EXPECT_EQ(UpdaterToolPath(L"C:\\Tools\\Varnock\\VarnockFWUpdate.exe"),
            L"C:\\Tools\\Varnock\\varnock_dockupdatefw.exe");
  EXPECT_EQ(UpdaterToolPath(L"Z:/work/build/VarnockFWUpdate.exe"), L"Z:/work/build/varnock_dockupdatefw.exe");
  EXPECT_EQ(UpdaterToolPath(L"C:\\a.b\\c/d\\prog.exe"), L"C:\\a.b\\c/d\\varnock_dockupdatefw.exe");
  EXPECT_EQ(UpdaterToolPath(L"C:\\a\\b/prog.exe"), L"C:\\a\\b/varnock_dockupdatefw.exe");
  EXPECT_EQ(UpdaterToolPath(L"\\\\server\\share\\固件工具\\prog.exe"),
            L"\\\\server\\share\\固件工具\\varnock_dockupdatefw.exe");
}

TEST(CommandLineParsing, SwitchesAndTheirArguments) {
  struct Case {
    std::vector<std::wstring> args;
    CommandMode mode;
    bool json;
    std::wstring image;
    int wait;
    std::wstring expect = L"";
    bool force = false;
    std::wstring log = L"";
    bool ignorePower = false;
  };
  const Case cases[] = {
      {{L"/update", L"fw.bin", L"-IgnorePower"}, CommandMode::Update, false, L"fw.bin", 60, L"", false, L"", true},
      {{L"/info", L"/ignorepower"}, CommandMode::UsageError, false, L"", 60},
      {{L"/ignorepower"}, CommandMode::UsageError, false, L"", 60},
      {{L"/?", L"/ignorepower"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/ignorepower", L"/ignorepower"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/expect", L"1.3.0.0", L"/force"}, CommandMode::Update, false, L"fw.bin", 60, L"1.3.0.0", true},
      {{L"/info", L"/LOG", L"C:\\logs\\dock.log"}, CommandMode::Info, false, L"", 60, L"", false, L"C:\\logs\\dock.log"},
      {{L"-force", L"/update", L"fw.bin", L"/log", L"x.log"}, CommandMode::Update, false, L"fw.bin", 60, L"", true, L"x.log"},
      {{L"/info", L"/expect", L"1.3.0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/info", L"/force"}, CommandMode::UsageError, false, L"", 60},
      {{L"/expect", L"1.3.0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/force"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/force", L"/force"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/expect", L"1.3.0.0", L"/expect", L"1.4.0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/expect"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/log", L"/force"}, CommandMode::UsageError, false, L"", 60},
      {{L"/log", L"x.log"}, CommandMode::UsageError, false, L"", 60},
      {{L"/?", L"/log", L"x.log"}, CommandMode::UsageError, false, L"", 60},
      {{}, CommandMode::Window, false, L"", 60},
      {{L"/INFO", L"-json"}, CommandMode::Info, true, L"", 60},
      {{L"-update", L"D:\\fw.bin"}, CommandMode::Update, false, L"D:\\fw.bin", 60},
      {{L"/Wait", L"0", L"/update", L"-fw.bin"}, CommandMode::Update, false, L"-fw.bin", 0},
      {{L"/update", L"fw.bin", L"/wait", L"86400"}, CommandMode::Update, false, L"fw.bin", 86400},
      {{L"-?"}, CommandMode::Help, false, L"", 60},
      {{L"/update", L"fw.bin", L"/wait", L"86401"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"fw.bin", L"/wait", L"-1"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"/wait", L"5"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L""}, CommandMode::UsageError, false, L"", 60},  // an empty image names no file
      {{L"/update", L"", L"/json"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/update", L"b.bin"}, CommandMode::UsageError, false, L"", 60},
      {{L"/info", L"/update", L"a.bin"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/json"}, CommandMode::Update, true, L"a.bin", 60},
      {{L"/update", L"a.bin", L"/expect", L"1.3"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/expect", L"1.3.0.0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/expect", L"abc"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/expect", L"256.0.0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/expect", L" 1.3.0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/expect", L"1..0.0"}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/expect", L"01.3.0.255"}, CommandMode::Update, false, L"a.bin", 60, L"01.3.0.255"},
      {{L"/update", L"a.bin", L"/sha256", std::wstring(63, L'a')}, CommandMode::UsageError, false, L"", 60},
      {{L"/update", L"a.bin", L"/sha256", std::wstring(63, L'a') + L"g"}, CommandMode::UsageError, false, L"", 60},
      {{L"/info", L"/sha256", std::wstring(64, L'a')}, CommandMode::UsageError, false, L"", 60},
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
    EXPECT_EQ(request.expect, expected.expect);
    EXPECT_EQ(request.force, expected.force);
    EXPECT_EQ(request.logFile, expected.log);
    EXPECT_EQ(request.ignorePower, expected.ignorePower);
  }
}

// A thumbprint as Windows shows it (pairs, lower case) or as PowerShell does;
// kept in upper case without spaces, the form the signature's check compares.
TEST(CommandLineParsing, SignerTakesAThumbprintAsWindowsShowsIt) {
  const std::wstring upper = L"6A0FF4F632501DDF89D06DE19CD00A02FBE7E9F6";
  struct Row {
    std::wstring given;
    bool valid;
  };
  for (const Row& row : {Row{upper, true}, Row{L"6a 0f f4 f6 32 50 1d df 89 d0 6d e1 9c d0 0a 02 fb e7 e9 f6", true},
                         Row{L" 6a0ff4f632501ddf89d06de19cd00a02fbe7e9f6 ", true}, Row{upper.substr(1), false},
                         Row{upper + L"0", false}, Row{L"6A0FF4F632501DDF89D06DE19CD00A02FBE7E9FX", false},
                         Row{L"", false}}) {
    SCOPED_TRACE(std::string(row.given.begin(), row.given.end()));
    const CommandRequest request = ParseCommandLine({L"/update", L"a.bin", L"/signer", row.given});
    EXPECT_EQ(request.mode, row.valid ? CommandMode::Update : CommandMode::UsageError);
    EXPECT_EQ(request.signer, row.valid ? upper : std::wstring());
  }
}

TEST(CommandLineUsage, ExitCodesAreListedFromTheirTableAndEachProgramNamesItself) {
  const std::wstring expected =
      L"Exit codes: 0 success, 1 update failed, 2 usage error, 3 no dock, 4 dock cannot be opened,\r\n"
      L"5 updater tool missing, 6 image refused, 7 a firmware update is running (or its updater is still alive),\r\n"
      L"8 updater could not be started, 9 the dock did not come back in time,\r\n"
      L"10 the dock does not report the new version, 11 the USB library could not be initialised,\r\n"
      L"12 the battery is too low to flash, 13 more than one dock is connected,\r\n"
      L"14 internal error, 15 the updater can be changed by non-administrators,\r\n"
      L"16 the updater is not signed by the /signer certificate.\r\n";
  struct Program {
    FrontEnd frontEnd;
    std::wstring own;
    std::wstring other;
    bool opensWindow;
  };
  for (const Program& program : {Program{FrontEnd::Window, L"  VarnockFWUpdate.exe /", L"-cli", true},
                              Program{FrontEnd::Console, L"  VarnockFWUpdate-cli.exe /", L"VarnockFWUpdate.exe", false}}) {
    const std::wstring usage = CommandLineUsage(program.frontEnd);
    ASSERT_GE(usage.size(), expected.size());
    EXPECT_EQ(usage.substr(usage.size() - expected.size()), expected);
    EXPECT_EQ(usage.rfind(L"Usage:\r\n", 0), 0u);
    EXPECT_NE(usage.find(program.own + L"info"), std::wstring::npos);
    EXPECT_NE(usage.find(program.own + L"update"), std::wstring::npos);
    EXPECT_EQ(usage.find(program.other), std::wstring::npos);
    EXPECT_EQ(usage.find(L"open the window") != std::wstring::npos, program.opensWindow);
  }
}

TEST(FirmwareVersions, ComparedAsFourNumbers) {
  EXPECT_TRUE(SameFirmwareVersion(L"1.3.0.0", L"01.3.000.0"));
  EXPECT_FALSE(SameFirmwareVersion(L"1.3.0.0", L"1.3.0.1"));
  EXPECT_FALSE(SameFirmwareVersion(L"", L""));
  EXPECT_FALSE(SameFirmwareVersion(L"1.3.0", L"1.3.0"));
}

TEST(UpdateResultJson, OneWordPerExitCodeAndNullForMissingValues) {
  UpdateResult result;
  result.exitCode = 10;
  result.message = L"said \"so\"";
  result.image = L"C:\\fw.bin";
  result.seconds = 2.5;
  EXPECT_EQ(FormatUpdateJson(result),
            L"{\"Result\":\"unchanged\",\"ExitCode\":10,\"Message\":\"said \\\"so\\\"\",\"Image\":\"C:\\\\fw.bin\","
            L"\"ImageSha256\":null,\"FwRevBefore\":null,\"FwRevAfter\":null,\"SerialNumber\":null,"
            L"\"UpdaterExitCode\":null,\"Seconds\":2.5}\r\n");
  const std::pair<int, const wchar_t*> words[] = {{0, L"updated"}, {3, L"no-dock"}, {7, L"busy"},
                                                  {9, L"did-not-return"}, {12, L"low-battery"},
                                                   {13, L"several-docks"}, {14, L"internal-error"},
                                                   {15, L"updater-changeable"}};
  for (const auto& [code, word] : words) EXPECT_EQ(ResultWord(code, false), word) << code;
  EXPECT_EQ(ResultWord(0, true), L"already-current");
}

TEST(LatestToolLine, LastNonEmptyTrimmedLineWhateverTheBlockCuts) {
  struct Case {
    const char* what;
    std::string output;
    std::string latest;
  };
  const Case cases[] = {
      {"nothing yet", "", ""},
      {"one line", "Writing image: 50%\n", "Writing image: 50%"},
      {"line still being printed", "Erasing\nWriting image: 5", "Writing image: 5"},
      {"blank lines after it", "Verifying\r\n\r\n   \r\n\t\n", "Verifying"},
      {"blank line being printed", "Verifying\n   ", "Verifying"},
      {"trimmed both ends", "  \t step 2 of 3 \t \r\n", "step 2 of 3"},
      {"carriage return overwrites", "10%\r20%\r30%\r", "30%"},
      {"CRLF lines", "a\r\nb\r\n", "b"},
      {"inner blanks stay", "x  y\n", "x  y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The same answer whether the output comes at once, byte by byte or in
    // blocks of three.
    for (size_t step : {c.output.size() + 1, size_t{1}, size_t{3}}) {
      LatestToolLine line;
      for (size_t at = 0; at < c.output.size(); at += step) line.Feed(std::string_view(c.output).substr(at, step));
      EXPECT_EQ(line.Latest(), c.latest) << "blocks of " << step;
    }
  }
}

TEST(LatestToolLine, AHugeLineKeepsItsHeadAndTheNextLineReplacesIt) {
  LatestToolLine line;
  const std::string block(5000, 'x');
  for (int i = 0; i < 2000; ++i) line.Feed(block);  // 10 MB, no line break
  EXPECT_EQ(line.Latest(), std::string(TOOL_LINE_MAX_BYTES, 'x'));
  line.Feed("\ndone\n");
  EXPECT_EQ(line.Latest(), "done");
}

// Against a plain model (split the whole output into lines, keep each line's
// head, take the last that holds more than blanks) over random output cut
// into random blocks: lines, blank lines, CR and CRLF ends, and long lines.
TEST(LatestToolLine, AgreesWithTheWholeOutputSplitIntoLines) {
  auto model = [](const std::string& output) {
    std::string latest;
    size_t begin = 0;
    for (;;) {
      const size_t end = output.find_first_of("\r\n", begin);
      std::string line = output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
      line.resize(std::min(line.size(), TOOL_LINE_MAX_BYTES));
      const size_t first = line.find_first_not_of(" \t\f\v");
      if (first != std::string::npos) latest = line.substr(first, line.find_last_not_of(" \t\f\v") - first + 1);
      if (end == std::string::npos) return latest;
      begin = end + 1;
    }
  };
  std::mt19937 random(20261209);
  const std::string pieces[] = {"a", "step 2", " ", "\t", "\n", "\r", "\r\n", "\n\n", std::string(700, 'w'), "  x  "};
  for (int round = 0; round < 2000; ++round) {
    std::string output;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) output += pieces[random() % std::size(pieces)];
    LatestToolLine line;
    for (size_t at = 0; at < output.size();) {
      const size_t take = 1 + random() % 3000;  // the reader hands over up to 5119 bytes
      line.Feed(std::string_view(output).substr(at, take));
      at += take;
    }
    ASSERT_EQ(line.Latest(), model(output)) << "round " << round;
  }
}

TEST(ToolLineUtf8, ValidUtf8PassesOtherBytesAreDecodedAsAnsi) {
  const std::string gu = "\xE5\x9B\xBA";  // U+56FA
  struct Case {
    const char* what;
    std::string line;
    std::string utf8;
  };
  const Case cases[] = {
      {"ASCII", "Writing image: 50%", "Writing image: 50%"},
      {"UTF-8", gu + "件", gu + "件"},
      {"ANSI", "caf\xE9", "caf\xC3\xA9"},
      {"unfinished character in a short line is ANSI", "ok\xE5\x9B", "ok\xC3\xA5\xC2\x9B"},
      {"character cut at the length limit is dropped",
       std::string(TOOL_LINE_MAX_BYTES - 2, 'a') + "\xE5\x9B", std::string(TOOL_LINE_MAX_BYTES - 2, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ToolLineUtf8(c.line, Latin1ToUtf8), c.utf8);
  }
}

TEST(FitWithEllipsis, KeepsWhatFitsCutsTheRestWithAnEllipsis) {
  // Every unit 10 wide, the ellipsis 15: widths as a text measure gives them.
  const auto widthOf = [](const std::wstring& text) {
    int width = 0;
    for (const wchar_t c : text) width += c == L'\u2026' ? 15 : 10;
    return width;
  };
  struct Case {
    std::wstring text;
    int maxWidth;
    std::wstring shown;
  };
  const Case cases[] = {
      {L"abcdef", 60, L"abcdef"},                // fits exactly
      {L"abcdefg", 60, L"abcd\u2026"},            // 4 units + ellipsis = 55
      {L"abcdefg", 14, L"\u2026"},                // not even the ellipsis: it alone
      {std::wstring{L'a', L'b', wchar_t(0xD83D), wchar_t(0xDD0C), L'c'}, 45, L"ab\u2026"},  // no half pair
      {L"", 0, L""},
  };
  for (const Case& c : cases) {
    const std::wstring shown = FitWithEllipsis(c.text, c.maxWidth, widthOf);
    EXPECT_EQ(shown, c.shown) << c.maxWidth;
  }
}

TEST(FormatElapsed, MinutesAndSecondsThenHours) {
  const std::pair<std::uint64_t, std::wstring> cases[] = {
      {0, L"0:00"}, {42, L"0:42"}, {60, L"1:00"}, {725, L"12:05"}, {3599, L"59:59"}, {3723, L"1:02:03"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(FormatElapsed(seconds), text) << seconds;
}

TEST(DockIdentity, IdsAsTheirTextsAndThePathsThatHoldThem) {
  EXPECT_EQ(UsbIdText(DOCK_VENDOR_ID), L"3A7D");
  EXPECT_EQ(UsbIdText(DOCK_PRODUCT_ID), L"B070");
  EXPECT_EQ(UsbIdText(0x000F), L"000F");
  EXPECT_EQ(DockDevicePathId(), L"VID_3A7D&PID_B070");
  EXPECT_TRUE(IsWatchedDevicePath(L"\\\\?\\usb#vid_3a7d&pid_b070#1", DockDevicePathId()));
  EXPECT_FALSE(IsWatchedDevicePath(L"\\\\?\\USB#VID_3A7D&PID_B071#1", DockDevicePathId()));
}

TEST(DockColumns, OneTableGivesTheListTitlesTheCopyTextTheConsoleLinesAndTheJsonKeys) {
  DockInfo dock;
  dock.Vendor = L"V";
  dock.Product = L"P";
  dock.SerialNumber = L"S";
  dock.FwRev = L"1.2.3.4";
  EXPECT_EQ(g_ColumnTitlesEn, (std::vector<std::wstring>{L"Vendor", L"Product", L"SerialNumber", L"FwRev"}));
  EXPECT_EQ(g_ColumnTitlesZh, (std::vector<std::wstring>{L"\u5236\u9020\u5546", L"\u4ea7\u54c1", L"\u5e8f\u5217\u53f7",
                                                         L"\u56fa\u4ef6\u7248\u672c"}));
  EXPECT_EQ(g_ColumnWidths, (std::map<std::int32_t, std::int32_t>{{0, 150}, {1, 200}, {2, 300}, {3, 150}}));
  EXPECT_EQ(FormatDockReport(dock), L"Vendor: V\r\nProduct: P\r\nSerialNumber: S\r\nFwRev: 1.2.3.4\r\n");
  EXPECT_EQ(FormatDockJson(dock, 1),
            L"{\"Vendor\":\"V\",\"Product\":\"P\",\"SerialNumber\":\"S\",\"FwRev\":\"1.2.3.4\",\"DockCount\":1}\r\n");
  EXPECT_EQ(FormatDockJson(dock, 2),
            L"{\"Vendor\":\"V\",\"Product\":\"P\",\"SerialNumber\":\"S\",\"FwRev\":\"1.2.3.4\",\"DockCount\":2}\r\n");
  EXPECT_EQ(FormatDocksForClipboard({dock, dock}),
            std::wstring(L"\u5236\u9020\u5546 : V\n\u4ea7\u54c1 : P\n\u5e8f\u5217\u53f7 : S\n\u56fa\u4ef6\u7248\u672c : 1.2.3.4\n\n") +
                L"\u5236\u9020\u5546 : V\n\u4ea7\u54c1 : P\n\u5e8f\u5217\u53f7 : S\n\u56fa\u4ef6\u7248\u672c : 1.2.3.4\n\n");
  EXPECT_EQ(FormatDocksForClipboard({}), L"");
}

TEST(BatteryRule, RefusedBelowTenPercentAndOnBatteryBelowTwentyFive) {
  struct Case {
    std::uint8_t ac, percent;
    BatteryVerdict verdict;
  };
  const Case cases[] = {
      {0, 24, BatteryVerdict::Unplugged}, {0, 25, BatteryVerdict::Allowed},  {0, 10, BatteryVerdict::Unplugged},
      {0, 9, BatteryVerdict::Unplugged},  {0, 0, BatteryVerdict::Unplugged}, {1, 9, BatteryVerdict::TooLow},
      {1, 10, BatteryVerdict::Allowed},   {1, 24, BatteryVerdict::Allowed},  {255, 9, BatteryVerdict::TooLow},
      {255, 24, BatteryVerdict::Allowed}, {1, 100, BatteryVerdict::Allowed}, {0, 255, BatteryVerdict::Unknown},
      {1, 255, BatteryVerdict::Unknown},  {255, 255, BatteryVerdict::Unknown},
  };
  for (const Case& expected : cases) {
    SCOPED_TRACE("AC " + std::to_string(expected.ac) + " battery " + std::to_string(expected.percent));
    const BatteryVerdict verdict = JudgeBatteryForFlash(PowerStatus{expected.ac, expected.percent});
    EXPECT_EQ(verdict, expected.verdict);
    EXPECT_EQ(BatteryRefuses(verdict), !BatteryRefusalText(verdict, {expected.ac, expected.percent}, UiLanguage::English).empty());
  }
  // The texts themselves are checked where they are shown, in both languages.
}

// SYSTEM_POWER_STATUS as Windows fills it on a desktop, a laptop in its
// states, and a system that cannot tell, through to the rule's verdict.
TEST(SystemPowerStatus, TheChargeCountsOnlyWhereABatteryIsThere) {
  struct Case {
    const char* what;
    std::uint8_t ac, flag, percent;
    std::uint8_t expectedAc, expectedPercent;
    BatteryVerdict verdict;
  };
  constexpr std::uint8_t HIGH = SYSTEM_BATTERY_FLAG_HIGH, LOW = SYSTEM_BATTERY_FLAG_LOW,
                         CRITICAL = SYSTEM_BATTERY_FLAG_CRITICAL, CHARGING = SYSTEM_BATTERY_FLAG_CHARGING,
                         NONE = SYSTEM_BATTERY_FLAG_NO_BATTERY, UNKNOWN = SYSTEM_BATTERY_FLAG_UNKNOWN;
  const Case cases[] = {
      {"a desktop: no system battery, the percentage unknown", 1, NONE, 255, 1, 255, BatteryVerdict::Unknown},
      {"a desktop that still reports a percentage", 1, NONE, 0, 1, 255, BatteryVerdict::Unknown},
      {"no battery, charging set as well", 1, NONE | CHARGING, 5, 1, 255, BatteryVerdict::Unknown},
      {"the battery state unknown, a percentage given", 0, UNKNOWN, 5, 0, 255, BatteryVerdict::Unknown},
      {"everything unknown", 255, UNKNOWN, 255, 255, 255, BatteryVerdict::Unknown},
      {"high, on the adapter", 1, HIGH, 80, 1, 80, BatteryVerdict::Allowed},
      {"high, on battery", 0, HIGH, 70, 0, 70, BatteryVerdict::Allowed},
      {"low, on battery", 0, LOW, 18, 0, 18, BatteryVerdict::Unplugged},
      {"critical, on battery", 0, CRITICAL, 4, 0, 4, BatteryVerdict::Unplugged},
      {"critical and charging", 1, CRITICAL | CHARGING, 4, 1, 4, BatteryVerdict::TooLow},
      {"low and charging", 1, LOW | CHARGING, 18, 1, 18, BatteryVerdict::Allowed},
      {"charging alone", 1, CHARGING, 9, 1, 9, BatteryVerdict::TooLow},
      {"no flag bit at all (between high and low)", 0, 0, 40, 0, 40, BatteryVerdict::Allowed},
      {"a battery, its charge unknown", 0, HIGH, 255, 0, 255, BatteryVerdict::Unknown},
      {"the AC line unknown", 255, LOW, 9, 255, 9, BatteryVerdict::TooLow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PowerStatus status = PowerStatusFromSystem(c.ac, c.flag, c.percent);
    EXPECT_EQ(status.acLine, c.expectedAc);
    EXPECT_EQ(status.batteryPercent, c.expectedPercent);
    EXPECT_EQ(JudgeBatteryForFlash(status), c.verdict);
  }
}

TEST(SeveralDocks, NoFlashWithTwoAndTheSameDockIsKnownByItsSerial) {
  EXPECT_FALSE(SeveralDocks(0));
  EXPECT_FALSE(SeveralDocks(1));
  EXPECT_TRUE(SeveralDocks(2));
  struct Case {
    const wchar_t* before;
    const wchar_t* now;
    bool same;
  };
  for (const Case& expected : {Case{L"VN-1", L"VN-1", true}, Case{L"VN-1", L"VN-2", false}, Case{L"VN-1", L"", false},
                               Case{L"VN-1", L"vn-1", false}, Case{L"", L"VN-2", true}}) {
    DockInfo before, now;
    before.SerialNumber = expected.before;
    now.SerialNumber = expected.now;
    EXPECT_EQ(IsSameDock(before, now), expected.same) << Utf8(expected.before) << " / " << Utf8(expected.now);
  }
}

// A dock string's control characters as the list, Copy Info, the console and
// the log show them: each as "\x" and two upper-case hex digits; tab and
// every other character as it is.
TEST(EscapeControlChars, ControlCharactersEscapedEverythingElseKept) {
  struct Case {
    const char* what;
    std::wstring text;
    std::wstring shown;
  };
  const Case cases[] = {
      {"plain", L"VN70-0042318", L"VN70-0042318"},
      {"bare CR", L"VN70\r[info] FWDownload", L"VN70\\x0D[info] FWDownload"},
      {"CRLF", L"a\r\nb", L"a\\x0D\\x0Ab"},
      {"escape sequence", L"\x1b[31mRed\x1b[0m", L"\\x1B[31mRed\\x1B[0m"},
      {"tab stays", L"a\tb", L"a\tb"},
      {"DEL", L"a\x7f", L"a\\x7F"},
      {"first and last below space", std::wstring{L'\x01', L'\x1f', L' '}, L"\\x01\\x1F "},
      {"NUL", std::wstring(1, L'\0'), L"\\x00"},
      {"backslash and quote stay", L"C:\\x \"q\"", L"C:\\x \"q\""},
      {"beyond ASCII stays", L"\u56fa\u0080\u009b\ufffd", L"\u56fa\u0080\u009b\ufffd"},
      {"empty", L"", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EscapeControlChars(c.text), c.shown);
    // The log's bytes take the same escapes.
    if (Utf8(c.text) == std::string(c.text.begin(), c.text.end())) {
      EXPECT_EQ(EscapeControlChars(std::string_view(Utf8(c.text))), Utf8(c.shown));
    }
  }
  EXPECT_EQ(EscapeControlChars(std::string_view("\x80\xff\x7f", 3)), std::string("\x80\xff\\x7F"));
}

TEST(DockColumns, ControlCharactersAreEscapedOnTheConsoleAndTheClipboardAndKeptInTheJson) {
  DockInfo dock;
  dock.Vendor = L"V\x1b[2J";
  dock.Product = L"P\tQ";
  dock.SerialNumber = L"S\r1";
  dock.FwRev = L"1.2.3.4";
  EXPECT_EQ(FormatDockReport(dock), L"Vendor: V\\x1B[2J\r\nProduct: P\tQ\r\nSerialNumber: S\\x0D1\r\nFwRev: 1.2.3.4\r\n");
  EXPECT_EQ(FormatDocksForClipboard({dock}),
            L"\u5236\u9020\u5546 : V\\x1B[2J\n\u4ea7\u54c1 : P\tQ\n\u5e8f\u5217\u53f7 : S\\x0D1\n\u56fa\u4ef6\u7248\u672c : 1.2.3.4\n\n");
  EXPECT_EQ(FormatDockJson(dock, 1), L"{\"Vendor\":\"V\\u001b[2J\",\"Product\":\"P\\u0009Q\",\"SerialNumber\":\"S\\u000d1\","
                                     L"\"FwRev\":\"1.2.3.4\",\"DockCount\":1}\r\n");
  EXPECT_EQ(dock.SerialNumber, L"S\r1");
}

// A surrogate without its other half has no UTF-8 form: it is written as its
// escape, and a whole pair as it is.
TEST(JsonString, SurrogatesWithoutTheirOtherHalfAreEscaped) {
  const wchar_t high = 0xD83D, low = 0xDD0C;
  struct Case {
    const char* what;
    std::wstring text;
    std::wstring json;
  };
  const Case cases[] = {
      {"pair", std::wstring{L'a', high, low}, std::wstring{L'"', L'a', high, low, L'"'}},
      {"high alone at the end", std::wstring{L'a', high}, L"\"a\\ud83d\""},
      {"high before a letter", std::wstring{high, L'b'}, L"\"\\ud83db\""},
      {"low alone", std::wstring{low}, L"\"\\udd0c\""},
      {"low before high", std::wstring{low, high}, L"\"\\udd0c\\ud83d\""},
      {"two highs then a low", std::wstring{high, high, low}, std::wstring(L"\"\\ud83d") + high + low + L"\""},
      {"control characters", std::wstring{L'\0', L'\x1f', L'"', L'\\'}, L"\"\\u0000\\u001f\\\"\\\\\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(JsonString(c.text), c.json);
  }
}

// FwRev from the firmware-version reply: bytes 7 to 4, or nothing for a
// reply shorter than eight bytes; a failed request is a negative length.
TEST(FwRevFromReply, BytesSevenToFourOrNothingForAShortReply) {
  const std::uint8_t reply[8] = {0xA1, 0xA2, 0xA3, 0xA4, 4, 3, 2, 1};
  const std::uint8_t high[8] = {0, 0, 0, 0, 0xFF, 0x80, 0x7F, 0xFF};
  const std::uint8_t zero[8] = {};
  struct Case {
    const std::uint8_t* bytes;
    int received;
    std::wstring fwRev;
  };
  const Case cases[] = {
      {reply, 8, L"1.2.3.4"},   {reply, 1024, L"1.2.3.4"}, {reply, 7, L""}, {reply, 0, L""},
      {reply, -7, L""},         {high, 8, L"255.127.128.255"}, {zero, 8, L"0.0.0.0"},
  };
  for (const Case& c : cases) EXPECT_EQ(FwRevFromReply(c.bytes, c.received), c.fwRev) << c.received;
}
