#include "shell/unattended.h"

#include <windows.h>
#include <shellapi.h>

#include <libusb.h>

#include <chrono>
#include <optional>

#include <spdlog/spdlog.h>

#include "docks/dock_info.h"
#include "docks/dock_report.h"
#include "shell/console.h"
#include "shell/log.h"
#include "shell/startup.h"
#include "update/firmware_image.h"
#include "update/fw_download.h"
#include "update/update_lock.h"
#include "update/updater_process.h"

namespace {

constexpr DWORD DOCK_POLL_INTERVAL_MS = 1000;

struct Streams {
  ConsoleStream out{STD_OUTPUT_HANDLE};
  ConsoleStream err{STD_ERROR_HANDLE};
};

// ASCII texts of the libraries (call and error names) for the console.
std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

int Finish(int code) {
  spdlog::info("CommandLine exit {}", code);
  return code;
}

// The log as the window keeps it, but a failure is told on standard error:
// these modes never show a box.
void StartQuietLogging(Streams& streams) {
  try {
    CreateLog();
  } catch (const spdlog::spdlog_ex&) {
    streams.err.Write(L"Warning: basic-log.txt cannot be written; going on without a log.\r\n");
  }
}

// Asks the bus for the dock; tells why there is none. Nothing on success.
std::optional<int> ExplainMissingDock(const DockQueryResult& query, Streams& streams) {
  if (query.info) return std::nullopt;
  if (query.presence == DockPresence::Unopenable) {
    const std::string error = UsbErrorText(query.openError);
    spdlog::error("CommandLine dock cannot be opened {}", error);
    streams.err.Write(L"A dock is on the bus but cannot be opened: " + Wide(error) +
                      L".\r\nThis usually means the dock is not bound to a WinUSB-class driver (install the dock "
                      L"vendor's WinUSB driver package) or another program is using it.\r\n");
    return EXIT_DOCK_UNOPENABLE;
  }
  spdlog::error("CommandLine no dock");
  streams.err.Write(L"No dock on the bus.\r\n");
  return EXIT_NO_DOCK;
}

DockQueryResult QueryDockLogged() {
  spdlog::info("CommandLine QueryDock");
  return QueryDockDiagnosed();
}

int RunInfo(const CommandRequest& request, Streams& streams) {
  spdlog::info(request.json ? "CommandLine info json" : "CommandLine info");
  const DockQueryResult query = QueryDockLogged();
  if (const std::optional<int> code = ExplainMissingDock(query, streams)) return *code;
  streams.out.Write(request.json ? FormatDockJson(*query.info) : FormatDockReport(*query.info));
  return EXIT_SUCCESS_CODE;
}

const wchar_t* ImageRefusal(FirmwareImageCheck check) {
  switch (check) {
    case FirmwareImageCheck::CannotOpen: return L"it cannot be read";
    case FirmwareImageCheck::TooShort: return L"it is shorter than 1024 bytes";
    case FirmwareImageCheck::BadSignature: return L"it does not begin with \"FWCT\"";
    case FirmwareImageCheck::Accepted: break;
  }
  return L"";
}

// After a flash the dock reboots: ask it once a second until it answers.
std::optional<DockInfo> WaitForDock(int seconds) {
  spdlog::info("CommandLine waiting for the dock {} s", seconds);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const DockQueryResult query = QueryDockLogged();
    if (query.info) return query.info;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    Sleep(DOCK_POLL_INTERVAL_MS);
  }
}

std::wstring VersionText(const std::wstring& version) { return version.empty() ? L"unknown" : version; }

int RunUpdate(const CommandRequest& request, Streams& streams) {
  spdlog::info("CommandLine update {}", WideToUtf8(request.image));
  const FirmwareImageCheck check = CheckFirmwareImage(request.image);
  if (check != FirmwareImageCheck::Accepted) {
    spdlog::error("CommandLine image refused {}", WideToUtf8(ImageRefusal(check)));
    streams.err.Write(L"The image was refused: " + std::wstring(ImageRefusal(check)) + L": " + request.image + L"\r\n");
    return EXIT_IMAGE_REFUSED;
  }
  const std::wstring toolPath = UpdaterToolBesideProgram();
  spdlog::info("CommandLine tool {}", WideToUtf8(toolPath));
  if (GetFileAttributesW(toolPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    spdlog::error("CommandLine tool missing {}", WideToUtf8(toolPath));
    streams.err.Write(L"The updater tool is not beside the program: " + toolPath + L"\r\n");
    return EXIT_TOOL_MISSING;
  }
  // The window may open the dock on any hot-plug, so it must not run beside a flash.
  if (FindRunningCopy() != nullptr) {
    spdlog::error("CommandLine window open");
    streams.err.Write(L"The VarnockFWUpdate window is open; close it before updating from the command line.\r\n");
    return EXIT_BUSY;
  }
  const FlashLock flashLock;
  if (!flashLock.Held()) {
    spdlog::error("CommandLine another firmware update is running");
    streams.err.Write(L"Another firmware update is running.\r\n");
    return EXIT_BUSY;
  }
  const DockQueryResult before = QueryDockLogged();
  if (const std::optional<int> code = ExplainMissingDock(before, streams)) return *code;

  spdlog::info("CommandLine run updater");
  const UpdaterRun run = RunUpdaterTool(toolPath, request.image, [&streams](const char* data, size_t length) {
    streams.out.WriteBytes(data, length);
  });
  switch (run.stage) {
    case UpdaterStage::CommandLineTooLong:
      streams.err.Write(L"The updater could not be started: its command line is too long.\r\n");
      return EXIT_TOOL_NOT_STARTED;
    case UpdaterStage::PipeFailed:
    case UpdaterStage::HandleFailed:
    case UpdaterStage::StartFailed:
      streams.err.Write(L"The updater could not be started: " + Wide(FailedCall(run.stage)) + L" failed (" +
                        std::to_wstring(run.errorCode) + L").\r\n");
      return EXIT_TOOL_NOT_STARTED;
    case UpdaterStage::Finished:
      break;
  }
  if (run.failed) {
    spdlog::error("CommandLine updater reported failure");
    streams.err.Write(L"Firmware update failed.\r\n");
    return EXIT_UPDATE_FAILED;
  }
  const std::optional<DockInfo> after = WaitForDock(request.waitSeconds);
  if (!after) {
    spdlog::error("CommandLine dock did not answer within {} s", request.waitSeconds);
    streams.err.Write(L"The updater reported success but the dock did not answer within " +
                      std::to_wstring(request.waitSeconds) + L" s.\r\n");
    return EXIT_DOCK_DID_NOT_RETURN;
  }
  const std::wstring summary = VersionText(before.info->FwRev) + L" -> " + VersionText(after->FwRev);
  spdlog::info("CommandLine firmware updated {}", WideToUtf8(summary));
  streams.out.Write(L"Firmware updated: " + summary + L"\r\n");
  return EXIT_SUCCESS_CODE;
}

}  // namespace

std::vector<std::wstring> ProgramArguments() {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> args;
  for (int i = 1; argv != nullptr && i < count; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return args;
}

int RunUnattended(const CommandRequest& request) {
  Streams streams;
  if (request.mode == CommandMode::Help) {
    streams.out.Write(COMMAND_LINE_USAGE);
    return EXIT_SUCCESS_CODE;
  }
  StartQuietLogging(streams);
  if (request.mode == CommandMode::UsageError) {
    spdlog::error("CommandLine usage error {}", WideToUtf8(request.problem));
    streams.err.Write(L"Usage error: " + request.problem + L"\r\n" + COMMAND_LINE_USAGE);
    return Finish(EXIT_USAGE);
  }
  const int usbResult = libusb_init(nullptr);
  if (usbResult < 0) {
    spdlog::info("libusb_init failed {}", usbResult);
    streams.err.Write(L"The USB library could not be initialised (" + std::to_wstring(usbResult) + L").\r\n");
    return Finish(EXIT_NO_DOCK);
  }
  return Finish(request.mode == CommandMode::Info ? RunInfo(request, streams) : RunUpdate(request, streams));
}
