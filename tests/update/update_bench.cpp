// How fast the update reacts and reads, measured with the program's real
// windows and the stand-in tool as a child process:
//   - time from the tool's last act before exiting to the outcome box being visible;
//   - throughput and peak memory while reading 10 MB of tool output.
// Usage: update_bench [rounds]   (run in a scratch folder: it writes basic-log.txt there)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/support/test_support.h"
#include "tests/update/update_harness.h"

using namespace updatetest;

namespace {

constexpr long long BULK_BYTES = 10 * 1024 * 1024;

double Seconds(long long ticks) {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

long long ReadStamp(const std::wstring& path) { return std::atoll(testsupport::ReadFileBytes(path).c_str()); }

PROCESS_MEMORY_COUNTERS Memory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters;
}

double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// One update with the given script, the dialogs answered by the driver; the
// log is not read here, so the figures are the program's alone.
bool RunScript(const std::wstring& image, const std::string& script, DriverReport& seen,
               PROCESS_MEMORY_COUNTERS& atEnd) {
  WriteImage(image, 4096, script);
  SelectDockRow();
  DriverPlan plan;
  plan.chooseFile = image;
  plan.pressKeys = false;
  plan.limit = std::chrono::seconds(120);
  DialogDriver driver(plan);
  SendMessageW(ProgramWindow(), WM_COMMAND, IDM_FW_DOWNLOAD, 0);
  atEnd = Memory();
  const bool idle = WaitUntilIdle(std::chrono::seconds(30));
  seen = driver.Finish();
  return idle && seen.boxes.size() == 1 && !seen.forced;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  ProgramWindow();
  InstallStandinTool();
  const std::wstring folder = testsupport::FreshFolder(L"bench");
  const std::wstring image = folder + L"bench.bin";
  const std::wstring exitStamp = folder + L"exit.stamp";
  const std::wstring startStamp = folder + L"start.stamp";
  const std::wstring endStamp = folder + L"end.stamp";
  const std::string completed = "out " + testsupport::TOOL_COMPLETED + "\n";

  DriverReport seen;
  PROCESS_MEMORY_COUNTERS atEnd{};
  // Warm-up: dialogs, fonts and the tool's first start are not part of the figures.
  if (!RunScript(image, completed, seen, atEnd)) {
    std::printf("warm-up run failed\n");
    return 1;
  }

  std::printf("round  exit->box ms  10MB read s    MB/s  peakWS MiB before->after  "
              "peakPagefile MiB before->after  WS after MiB\n");
  std::vector<double> latencies;
  std::vector<double> rates;
  for (int round = 1; round <= rounds; ++round) {
    if (!RunScript(image, "out Writing image\n" + completed + "stamp " + testsupport::Utf8(exitStamp) + "\n", seen,
                   atEnd)) {
      std::printf("latency run %d failed\n", round);
      return 1;
    }
    const double latency = Seconds(seen.boxes[0].seenAt.QuadPart - ReadStamp(exitStamp)) * 1000.0;

    const PROCESS_MEMORY_COUNTERS before = Memory();
    if (!RunScript(image,
                   "stamp " + testsupport::Utf8(startStamp) + "\nbulk " + std::to_string(BULK_BYTES) + "\n" +
                       completed + "stamp " + testsupport::Utf8(endStamp) + "\n",
                   seen, atEnd)) {
      std::printf("bulk run %d failed\n", round);
      return 1;
    }
    const double readSeconds = Seconds(ReadStamp(endStamp) - ReadStamp(startStamp));
    const double rate = static_cast<double>(BULK_BYTES) / (1024.0 * 1024.0) / readSeconds;
    latencies.push_back(latency);
    rates.push_back(rate);
    std::printf("%5d  %12.1f  %11.2f  %6.1f  %10.1f -> %-10.1f  %12.1f -> %-14.1f  %8.1f\n", round, latency,
                readSeconds, rate, MiB(before.PeakWorkingSetSize), MiB(atEnd.PeakWorkingSetSize),
                MiB(before.PeakPagefileUsage), MiB(atEnd.PeakPagefileUsage), MiB(atEnd.WorkingSetSize));
    std::fflush(stdout);
  }
  // Every block was logged: the log holds the output of all bulk runs.
  size_t logged = 0;
  for (const std::string& block : LoggedBlocks(testsupport::OwnLog())) logged += block.size();
  std::printf("bytes logged as ReadFile blocks: %zu (%d bulk runs of %lld)\n", logged, rounds, BULK_BYTES);
  double latencySum = 0;
  double rateSum = 0;
  for (double value : latencies) latencySum += value;
  for (double value : rates) rateSum += value;
  std::printf("mean: exit->box %.1f ms, read %.2f MB/s over %d rounds\n", latencySum / rounds, rateSum / rounds,
              rounds);
  return 0;
}
