// The program's log as a file on disk: each case starts log_probe.exe (which
// calls the program's CreateLog and logs through spdlog's default logger) as a
// real child process in a fresh folder, and then reads basic-log.txt there.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/portable/text_conversion.h"
#include "base/win_handles.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::FreshFolder;
using testsupport::ReadFileBytes;

constexpr DWORD PROBE_TIME_LIMIT_MS = 30000;
constexpr DWORD EXIT_LOG_EXCEPTION = 3;
// How long the probe waits for the test's look at most: a hung test still ends it.
constexpr wchar_t LONG_SLEEP_MS[] = L"120000";

std::wstring ProbeCommand(const std::wstring& arguments) {
  return L"\"" + testsupport::ExecutableFolder() + L"log_probe.exe\" " + arguments;
}

// Runs the probe to its end in the folder; its exit code.
DWORD RunProbe(const std::wstring& folder, const std::wstring& arguments) {
  return testsupport::RunProcess(ProbeCommand(arguments), PROBE_TIME_LIMIT_MS, folder);
}

// The records of the folder's log, read as every test reads the program's log.
std::vector<testsupport::LogRecord> LogIn(const std::wstring& folder) {
  return testsupport::ReadLog(folder + L"basic-log.txt");
}

// A record's "YYYY-MM-DD HH:MM:SS.mmm" as local time.
SYSTEMTIME StampTime(const std::string& stamp) {
  SYSTEMTIME time{};
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
  if (std::sscanf(stamp.c_str(), "%4u-%2u-%2u %2u:%2u:%2u.%3u", &year, &month, &day, &hour, &minute, &second,
                  &milliseconds) == 7) {
    time = SYSTEMTIME{static_cast<WORD>(year),   static_cast<WORD>(month),  0, static_cast<WORD>(day),
                      static_cast<WORD>(hour),   static_cast<WORD>(minute), static_cast<WORD>(second),
                      static_cast<WORD>(milliseconds)};
  }
  return time;
}

// Local time as 100 ns ticks, for comparing time stamps.
std::uint64_t Ticks(const SYSTEMTIME& time) {
  FILETIME file{};
  if (!SystemTimeToFileTime(&time, &file)) return 0;
  return (static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

std::uint64_t LocalNowTicks() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return Ticks(now);
}

constexpr std::uint64_t TICKS_PER_SECOND = 10000000;

}  // namespace

TEST(LogFile, TwoRunsAppendAndKeepTheFirstRunsLines) {
  const std::wstring folder = FreshFolder(L"append");
  ASSERT_EQ(RunProbe(folder, L"create info \"run one\""), 0u);
  const std::string afterFirst = ReadFileBytes(folder + L"basic-log.txt");
  ASSERT_FALSE(afterFirst.empty());

  ASSERT_EQ(RunProbe(folder, L"create info \"run two\""), 0u);
  const std::string afterSecond = ReadFileBytes(folder + L"basic-log.txt");
  EXPECT_EQ(afterSecond.compare(0, afterFirst.size(), afterFirst), 0) << "the first run's bytes changed";
  EXPECT_EQ(testsupport::Messages(LogIn(folder)), (std::vector<std::string>{"info run one", "info run two"}));
}

TEST(LogFile, EachWorkingDirectoryGetsItsOwnLog) {
  const std::wstring first = FreshFolder(L"cwd-a");
  const std::wstring second = FreshFolder(L"cwd-b");
  ASSERT_EQ(RunProbe(first, L"create info \"in a\""), 0u);
  ASSERT_EQ(RunProbe(second, L"create info \"in b\""), 0u);
  EXPECT_EQ(testsupport::Messages(LogIn(first)), (std::vector<std::string>{"info in a"}));
  EXPECT_EQ(testsupport::Messages(LogIn(second)), (std::vector<std::string>{"info in b"}));
}

TEST(LogFile, LineLayoutLevelNamesAndLineEnds) {
  const std::wstring folder = FreshFolder(L"layout");
  const std::uint64_t before = LocalNowTicks();
  ASSERT_EQ(RunProbe(folder,
                     L"create info \"program start...\" error \"libusb_open_device_with_vid_pid failed\" "
                     L"quit info \"after quit\""),
            0u);
  const std::uint64_t after = LocalNowTicks();
  const std::string bytes = ReadFileBytes(folder + L"basic-log.txt");

  // Every line ends in CR LF; the only bare line feeds are QuitApp's own two.
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  EXPECT_NE(bytes.find("] [logger] [info] QuitApp\n\n\r\n["), std::string::npos) << bytes;
  size_t carriageReturns = 0, lineFeeds = 0;
  for (char c : bytes) {
    carriageReturns += c == '\r';
    lineFeeds += c == '\n';
  }
  EXPECT_EQ(carriageReturns, 4u);
  EXPECT_EQ(lineFeeds, 6u);

  const std::vector<testsupport::LogRecord> records = LogIn(folder);
  ASSERT_EQ(records.size(), 4u) << bytes;
  EXPECT_EQ(records, (std::vector<testsupport::LogRecord>{{"info", "program start..."},
                                                          {"error", "libusb_open_device_with_vid_pid failed"},
                                                          {"info", "QuitApp\n\n"},
                                                          {"info", "after quit"}}));
  // Nothing but the four records, each in the layout line.
  std::string rebuilt;
  for (const testsupport::LogRecord& record : records) {
    rebuilt += "[" + record.stamp + "] [logger] [" + record.level + "] " + record.message + "\r\n";
  }
  EXPECT_EQ(rebuilt, bytes);
  std::uint64_t previous = 0;
  for (const testsupport::LogRecord& record : records) {
    // Local wall-clock time of the run (the stamp has whole milliseconds; allow clock granularity).
    const std::uint64_t stamp = Ticks(StampTime(record.stamp));
    EXPECT_GE(stamp + 2 * TICKS_PER_SECOND, before) << record.stamp;
    EXPECT_LE(stamp, after + 2 * TICKS_PER_SECOND) << record.stamp;
    EXPECT_GE(stamp, previous) << record.stamp;
    previous = stamp;
  }
}

TEST(LogFile, NonAsciiPathIsWrittenAsUtf8) {
  const std::wstring folder = FreshFolder(L"utf8");
  ASSERT_EQ(RunProbe(folder, L"create path \"C:\\\x56FA\x4EF6\\fw.bin\""), 0u);  // C:\固件\fw.bin
  EXPECT_EQ(LogIn(folder), (std::vector<testsupport::LogRecord>{{"info",
                                                                  "FWDownload select fwfile is C:\\"
                                                                  "\xE5\x9B\xBA\xE4\xBB\xB6"
                                                                  "\\fw.bin"}}));
}

TEST(LogFile, LineReachesDiskAsItIsWrittenWhileTheProcessStillRuns) {
  const std::wstring folder = FreshFolder(L"flush");
  // The probe writes its line, says so, and waits for this test's look; its
  // periodic flush is pushed a day away, so the line is on disk at that look
  // only if writing it put it there.
  const std::wstring written = L"VarnockLogTest.Written." + std::to_wstring(GetCurrentProcessId());
  const std::wstring looked = L"VarnockLogTest.Looked." + std::to_wstring(GetCurrentProcessId());
  UniqueHandle writtenEvent(CreateEventW(nullptr, TRUE, FALSE, written.c_str()));
  UniqueHandle lookedEvent(CreateEventW(nullptr, TRUE, FALSE, looked.c_str()));
  ASSERT_TRUE(writtenEvent);
  ASSERT_TRUE(lookedEvent);
  const testsupport::ChildProcess child = testsupport::StartProcess(
      ProbeCommand(L"create noflusher info \"before the look\" signal " + written + L" waitfor " + looked + L" " +
                   LONG_SLEEP_MS),
      folder);
  ASSERT_NE(child.process, nullptr);
  UniqueHandle process(child.process);

  HANDLE either[] = {writtenEvent.Get(), process.Get()};
  const DWORD woke = WaitForMultipleObjects(2, either, FALSE, PROBE_TIME_LIMIT_MS);
  const std::string onDisk = ReadFileBytes(folder + L"basic-log.txt");
  const bool stillRunning = WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
  SetEvent(lookedEvent.Get());
  const DWORD exitCode = testsupport::WaitForExit(process.Get(), PROBE_TIME_LIMIT_MS);

  ASSERT_EQ(woke, WAIT_OBJECT_0) << "the probe ended or hung before writing its line";
  EXPECT_TRUE(stillRunning) << "the probe ended before the look, so its exit may have flushed the line";
  EXPECT_NE(onDisk.find("] [logger] [info] before the look\r\n"), std::string::npos)
      << "the line was not on disk as soon as it was written: " << onDisk;
  EXPECT_EQ(exitCode, 0u);
}

TEST(LogFile, UnopenableFileMakesCreateLogThrowSpdlogEx) {
  const std::wstring folder = FreshFolder(L"locked");
  const std::wstring log = folder + L"basic-log.txt";
  {
    // Held with share mode 0: nobody else can open it while this handle lives.
    UniqueHandle held(CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(RunProbe(folder, L"create info \"must not land\""), EXIT_LOG_EXCEPTION);
  }
  EXPECT_EQ(ReadFileBytes(log), "");

  // Released, the same folder takes the log again.
  ASSERT_EQ(RunProbe(folder, L"create info \"opens now\""), 0u);
  EXPECT_EQ(testsupport::Messages(LogIn(folder)), (std::vector<std::string>{"info opens now"}));
}

TEST(WideToUtf8, ConvertsWholeStrings) {
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(WideToUtf8(L"basic-log.txt"), "basic-log.txt");
  EXPECT_EQ(WideToUtf8(L"\x56FA\x4EF6"), "\xE5\x9B\xBA\xE4\xBB\xB6");  // 固件
  // U+1F600 as a surrogate pair: one four-byte sequence, not two three-byte ones.
  const std::string emoji = WideToUtf8(L"\xD83D\xDE00");
  EXPECT_EQ(emoji, "\xF0\x9F\x98\x80");
  EXPECT_EQ(emoji.size(), 4u);
  // A device path mixing ASCII and CJK keeps its length in bytes exactly.
  EXPECT_EQ(WideToUtf8(L"\\\\?\\USB#VID_3A7D&PID_B070#\x56FA#{a5dcbf10}"),
            "\\\\?\\USB#VID_3A7D&PID_B070#\xE5\x9B\xBA#{a5dcbf10}");
}

TEST(WideToUtf8, LongTextAndLoneSurrogateKeepTheRest) {
  const std::string long_text = WideToUtf8(std::wstring(5000, L'\x56FA'));
  EXPECT_EQ(long_text.size(), 15000u);
  EXPECT_EQ(long_text.substr(14997), "\xE5\x9B\xBA");
  // An unpaired surrogate is replaced by the platform; the text around it survives.
  const std::string lone = WideToUtf8(L"a\xD800z");
  ASSERT_GE(lone.size(), 2u);
  EXPECT_EQ(lone.front(), 'a');
  EXPECT_EQ(lone.back(), 'z');
}
