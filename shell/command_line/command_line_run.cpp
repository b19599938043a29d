#include "shell/command_line/command_line_run.h"

#include <windows.h>

#include <chrono>
#include <exception>
#include <string>
#include <optional>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "docks/portable/dock_count.h"
#include "docks/dock_guard.h"
#include "docks/dock_query.h"
#include "docks/portable/dock_report.h"
#include "shell/command_line/console.h"
#include "shell/command_line/tool_output_pass_through.h"
#include "base/portable/exception_text.h"
#include "base/log.h"
#include "base/process_token.h"
#include "base/portable/text_conversion.h"
#include "update/dock_after_flash.h"
#include "base/portable/ui_text.h"
#include "shell/command_line/portable/update_result.h"
#include "update/portable/firmware_image.h"
#include "shell/command_line/flash_hold.h"
#include "update/power_request.h"
#include "update/update_preflight.h"
#include "update/portable/update_outcome.h"
#include "update/updater_process.h"

namespace {

// Standard output and error, and the run's last word for its JSON result.
// Under /update … /json standard output holds the JSON object alone: the
// run's own lines for it are kept as its message only.
struct Streams {
  ConsoleStream out{STD_OUTPUT_HANDLE};
  ConsoleStream err{STD_ERROR_HANDLE};
  bool jsonOnly = false;
  std::wstring lastLine;

  // `text` ends with CRLF.
  void Error(const std::wstring& text) {
    Remember(text);
    err.Write(text);
  }
  void Result(const std::wstring& text) {
    Remember(text);
    if (!jsonOnly) out.Write(text);
  }

 private:
  void Remember(const std::wstring& text) {
    lastLine = text;
    while (!lastLine.empty() && (lastLine.back() == L'\n' || lastLine.back() == L'\r')) lastLine.pop_back();
  }
};

// ASCII texts of the libraries (call and error names) for the console.
std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

int Finish(int code) {
  spdlog::info(LOG_COMMAND_LINE_EXIT, code);
  return code;
}

// The log as the window keeps it (or in the file /log names), but a failure
// is told once on standard error and the run logs nowhere: these modes never
// show a box, and standard output holds only their own lines.
// Run as SYSTEM or elevated, a link under the log's name is not followed.
void StartQuietLogging(const CommandRequest& request, Streams& streams) {
  const std::wstring file = request.logFile.empty() ? std::wstring(DEFAULT_LOG_FILE) : request.logFile;
  try {
    if (!CreateLog(file, RunsPrivileged() ? LogLinks::Refuse : LogLinks::Follow)) {
      LogNowhere();
      streams.err.Write(L"Warning: " + file +
                        L" is a link or has other names, which a privileged run does not follow; going on without "
                        L"a log.\r\n");
    }
  } catch (const spdlog::spdlog_ex&) {
    LogNowhere();
    streams.err.Write(L"Warning: " + file + L" cannot be written; going on without a log.\r\n");
  }
}

// Tells why a query found no dock. Nothing when it found one.
std::optional<int> ExplainMissingDock(const DockQueryResult& query, Streams& streams) {
  if (query.info) return std::nullopt;
  if (query.presence == DockPresence::Unopenable) {
    const std::string error = UsbErrorText(query.openError);
    spdlog::error("CommandLine dock cannot be opened {}", error);
    streams.Error(L"A dock is on the bus but cannot be opened: " + Wide(error) +
                      L".\r\nThis usually means the dock is not bound to a WinUSB-class driver (install the dock "
                      L"vendor's WinUSB driver package) or another program is using it.\r\n");
    return EXIT_DOCK_UNOPENABLE;
  }
  spdlog::error("CommandLine no dock");
  streams.Error(L"No dock on the bus.\r\n");
  return EXIT_NO_DOCK;
}

DockQueryResult QueryDockLogged() {
  spdlog::info("CommandLine QueryDock");
  return QueryDockDiagnosed();
}

constexpr wchar_t DOCK_BUSY_TEXT[] = L"The dock is being read by another copy of the program; try again.\r\n";
constexpr wchar_t FLASH_RUNNING_TEXT[] = L"A firmware update is running; the dock is not read during a flash.\r\n";

// A look at the dock under the dock guard: none while a flash (not our own)
// holds it, or another look holds it too long.
struct GuardedQuery {
  std::optional<DockQueryResult> looked;
  bool flashRunning = false;          // why there was no look, when there was none
  const wchar_t* unusable = nullptr;  // or the guard object that cannot be used
};

// A guard object stands in the way; it is not a flash, so it is not called one.
std::string GuardUnusableLog(const wchar_t* name) { return "CommandLine dock guard unusable " + WideToUtf8(name); }
std::wstring GuardUnusableText(const wchar_t* name) {
  return FillInText(TXT_GUARD_UNUSABLE.english, L"{name}", name) + L"\r\n";
}
std::wstring GuardUnusableLine(const wchar_t* name) {
  spdlog::error("{}", GuardUnusableLog(name));
  return GuardUnusableText(name);
}

GuardedQuery QueryDockGuarded(const FlashGuard* ownFlash = nullptr) {
  const DockQueryGuard guard(ownFlash);
  if (guard.Unusable()) return GuardedQuery{std::nullopt, false, guard.Unusable()};
  if (!guard.Granted()) {
    spdlog::error(guard.FlashRunning() ? "CommandLine dock not read: firmware update in progress"
                                       : "CommandLine dock not read: the dock is busy");
    return GuardedQuery{std::nullopt, guard.FlashRunning(), nullptr};
  }
  return GuardedQuery{QueryDockLogged(), false, nullptr};
}

int RunInfo(const CommandRequest& request, Streams& streams) {
  spdlog::info(request.json ? "CommandLine info json" : "CommandLine info");
  const GuardedQuery guarded = QueryDockGuarded();
  if (!guarded.looked) {
    streams.Error(guarded.unusable       ? GuardUnusableLine(guarded.unusable)
                  : guarded.flashRunning ? std::wstring(FLASH_RUNNING_TEXT)
                                         : std::wstring(DOCK_BUSY_TEXT));
    return EXIT_BUSY;
  }
  const DockQueryResult& query = *guarded.looked;
  if (const std::optional<int> code = ExplainMissingDock(query, streams)) return *code;
  streams.out.Write(request.json ? FormatDockJson(*query.info, query.dockCount) : FormatDockReport(*query.info));
  if (SeveralDocks(query.dockCount)) streams.err.Write(SeveralDocksInfoNote(query.dockCount) + L"\r\n");
  return EXIT_SUCCESS_CODE;
}

// Why the image rule refused a file, in the rule's own numbers.
std::wstring ImageRefusal(FirmwareImageCheck check) {
  switch (check) {
    case FirmwareImageCheck::CannotOpen: return L"it cannot be read";
    case FirmwareImageCheck::TooShort:
      return L"it is shorter than " + std::to_wstring(FIRMWARE_MIN_SIZE) + L" bytes";
    case FirmwareImageCheck::BadSignature:
      return L"it does not begin with \"" +
             std::wstring(std::begin(FIRMWARE_SIGNATURE), std::end(FIRMWARE_SIGNATURE)) + L"\"";
    case FirmwareImageCheck::Accepted: break;
  }
  return L"";
}

// What the dock must report after a flash that the updater called a success:
// the version asked for, or else a known version other than the one before.
// Under /force the version before may be asked for again: an answer with it
// counts only once the dock has restarted (or the wait is over). When the
// version before is unknown, any answer would look new: only a restart, or
// the version asked for, proves the flash.
bool IsFlashedVersion(const CommandRequest& request, const std::wstring& before, const std::wstring& now,
                      bool restarted) {
  if (!request.expect.empty()) {
    return SameFirmwareVersion(now, request.expect) && !(request.force && SameFirmwareVersion(now, before));
  }
  if (before.empty()) return restarted && !now.empty();
  return !now.empty() && now != before;
}

// An unchanged answer that /force accepts: the version asked for, if any.
bool ForcedAnswerAccepted(const CommandRequest& request, const std::wstring& now) {
  return request.force && (request.expect.empty() || SameFirmwareVersion(now, request.expect));
}

// The path as Windows resolves it against the working folder: the updater
// may change its own folder, and the log and the result name the file itself.
std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

std::wstring VersionText(const std::wstring& version) { return version.empty() ? L"unknown" : version; }

// What the updater's signature was found to be, for a refusal under /signer.
std::wstring SignatureFound(const UpdaterSignature& signature) {
  switch (signature.state) {
    case SignatureState::Signed: return L"signed by " + signature.subject + L" (" + signature.thumbprint + L")";
    case SignatureState::NotSigned: return L"not signed";
    case SignatureState::Invalid: {
      wchar_t code[16] = {};
      swprintf_s(code, 16, L"0x%08lX", static_cast<unsigned long>(signature.code));
      return std::wstring(L"signed, but its signature is invalid (") + code + L")";
    }
  }
  return L"";
}

// What the command line does with a refusal of the pre-flight: its exit
// code, its log line (none where the check logged it itself), its text on
// standard error and, where the exit code alone does not tell, its word.
struct Refusal {
  int exitCode;
  std::string logLine;
  std::wstring text;
  const wchar_t* word = nullptr;
};

// The pre-flight's refusals, one row each. The image's come before the
// updater's path is logged, the others after it.
std::optional<Refusal> RefusalOf(const UpdatePreflight& preflight, const CommandRequest& request,
                                 const std::wstring& image, const std::wstring& toolPath) {
  switch (preflight.refusal) {
    case UpdateRefusal::None: return std::nullopt;
    case UpdateRefusal::Image: {
      const std::wstring why = ImageRefusal(preflight.image);
      return Refusal{EXIT_IMAGE_REFUSED, "CommandLine image refused " + WideToUtf8(why),
                     L"The image was refused: " + why + L": " + image + L"\r\n"};
    }
    case UpdateRefusal::ImageCopyFailed: {
      // Never the original instead: its bytes may change after any check.
      const DWORD code = preflight.imageCopy->ErrorCode();
      return Refusal{EXIT_IMAGE_REFUSED, "CommandLine image copy failed " + std::to_string(code),
                     L"The image could not be copied to a folder of this run's own (error " + std::to_wstring(code) +
                         L"); nothing was flashed: " + image + L"\r\n"};
    }
    case UpdateRefusal::ToolMissing:
      return Refusal{EXIT_TOOL_MISSING, "CommandLine tool missing " + WideToUtf8(toolPath),
                     L"The updater tool is not beside the program: " + toolPath + L"\r\n"};
    case UpdateRefusal::LowBattery:  // logged by the battery check
      return Refusal{EXIT_LOW_BATTERY, "",
                     BatteryRefusalText(preflight.battery.verdict, preflight.battery.status, UiLanguage::English) +
                         L"\r\n"};
    case UpdateRefusal::GuardUnusable:
      return Refusal{EXIT_BUSY, GuardUnusableLog(preflight.unusableGuard), GuardUnusableText(preflight.unusableGuard)};
    case UpdateRefusal::UpdaterChangeable:
      return Refusal{EXIT_UPDATER_CHANGEABLE, "CommandLine updater changeable by " + WideToUtf8(preflight.changeableBy),
                     UpdaterChangeableText(UiLanguage::English, toolPath, preflight.changeableBy) + L"\r\n"};
    case UpdateRefusal::UpdaterNotSigned:
    case UpdateRefusal::SignerMismatch: {
      const std::wstring found = SignatureFound(preflight.signature);
      return Refusal{EXIT_UPDATER_NOT_SIGNED,
                     "CommandLine updater " + WideToUtf8(found) + ", expected signer " + WideToUtf8(request.signer),
                     L"The updater " + toolPath + L" is " + found + L"; /signer asks for the certificate " +
                         request.signer + L". Nothing was started.\r\n",
                     preflight.refusal == UpdateRefusal::SignerMismatch ? RESULT_SIGNER_MISMATCH : nullptr};
    }
    case UpdateRefusal::UpdateRunning:
      return Refusal{EXIT_BUSY, "CommandLine another firmware update is running",
                     L"Another firmware update is running.\r\n"};
    case UpdateRefusal::DockBusy:
      // Another look held the dock past the wait: no flash runs, so none is named.
      return Refusal{EXIT_BUSY, "CommandLine dock not read: the dock is busy", DOCK_BUSY_TEXT};
  }
  return std::nullopt;
}

int Refuse(const Refusal& refusal, Streams& streams, UpdateResult& result) {
  if (!refusal.logLine.empty()) spdlog::error("{}", refusal.logLine);
  result.word = refusal.word;
  streams.Error(refusal.text);
  return refusal.exitCode;
}

int RunUpdate(const CommandRequest& request, Streams& streams, UpdateResult& result) {
  const std::wstring image = FullPath(request.image);
  result.image = image;
  spdlog::info("CommandLine update {}", WideToUtf8(image));
  const std::wstring toolPath = UpdaterToolBesideProgram();
  if (request.ignorePower) spdlog::info(LOG_BATTERY_IGNORED);
  PreflightOptions options;
  options.checkBattery = !request.ignorePower;
  options.signer = request.signer;
  UpdatePreflight preflight = PreflightUpdate(image, toolPath, options);
  if (preflight.imageCopy && !preflight.imageCopy->Sha256().empty()) result.imageSha256 = preflight.imageCopy->Sha256();
  const std::optional<Refusal> refusal = RefusalOf(preflight, request, image, toolPath);
  const bool imageRefused =
      preflight.refusal == UpdateRefusal::Image || preflight.refusal == UpdateRefusal::ImageCopyFailed;
  if (refusal && imageRefused) return Refuse(*refusal, streams, result);
  spdlog::info("CommandLine tool {}", WideToUtf8(toolPath));
  if (refusal) return Refuse(*refusal, streams, result);
  // A pinned image: checked before the dock is read, on the very bytes the updater gets.
  if (!request.sha256.empty() && result.imageSha256 != request.sha256) {
    const std::wstring actual = result.imageSha256 ? *result.imageSha256 : L"unknown (the image cannot be read)";
    spdlog::error("CommandLine image sha256 {} expected {}", WideToUtf8(actual), WideToUtf8(request.sha256));
    streams.Error(L"The image's SHA-256 is " + actual + L", expected " + request.sha256 + L".\r\n");
    return EXIT_IMAGE_REFUSED;
  }
  // Held from here until the updater has ended; an open window keeps off the
  // dock meanwhile and reads it again afterwards.
  FlashGuard& flash = *preflight.flash;
  const GuardedQuery guarded = QueryDockGuarded(&flash);
  const std::optional<DockQueryResult>& looked = guarded.looked;
  if (!looked) {
    streams.Error(guarded.unusable ? GuardUnusableLine(guarded.unusable) : std::wstring(DOCK_BUSY_TEXT));
    return EXIT_BUSY;
  }
  const DockQueryResult& before = *looked;
  // Before /expect: with two docks the one read here need not be the one the updater picks.
  if (SeveralDocks(before.dockCount)) {
    spdlog::error("CommandLine refused: {} docks are connected", before.dockCount);
    streams.Error(SeveralDocksRefusal(before.dockCount, UiLanguage::English) + L"\r\n");
    return EXIT_SEVERAL_DOCKS;
  }
  if (const std::optional<int> code = ExplainMissingDock(before, streams)) return *code;
  const std::wstring& oldVersion = before.info->FwRev;
  if (!oldVersion.empty()) result.fwRevBefore = oldVersion;
  result.serialNumber = before.info->SerialNumber;
  if (!request.expect.empty() && !request.force && SameFirmwareVersion(oldVersion, request.expect)) {
    spdlog::info("CommandLine firmware already at {}; nothing flashed", WideToUtf8(oldVersion));
    result.alreadyCurrent = true;
    result.fwRevAfter = oldVersion;
    streams.Result(L"Firmware already at " + oldVersion + L"; nothing flashed.\r\n");
    return EXIT_SUCCESS_CODE;
  }

  spdlog::info("CommandLine run updater");
  // Under /json standard output is the result's alone: the updater's output goes to standard error.
  ConsoleStream& toolStream = streams.jsonOnly ? streams.err : streams.out;
  ToolOutputPassThrough passThrough(toolStream);
  UpdaterRun run;
  {
    const FlashHold hold([&streams](const wchar_t* line) { streams.err.Write(line); });
    const FlashPowerRequest awake;
    run = RunUpdaterTool(
        toolPath, preflight.imageCopy->Path(),
        [&passThrough](const char* data, size_t length) { passThrough.Feed(data, length); }, flash.Marker(), {},
        preflight.updater.get());
    // The dock is free again for others, and logoff may go on.
    flash.End();
    hold.RethrowFailure();
  }
  passThrough.Finish();
  // A stream given up as stuck is given up under both its names (2>&1).
  if (streams.out.GivenUp() && streams.err.SameTarget(streams.out)) streams.err.GiveUp();
  if (streams.err.GivenUp() && streams.out.SameTarget(streams.err)) streams.out.GiveUp();
  // The program's own lines start a line of their own, whatever the updater's last line lacked.
  if (passThrough.LineOpen()) toolStream.Write(L"\r\n");
  switch (run.stage) {
    case UpdaterStage::CommandLineTooLong:
      streams.Error(L"The updater could not be started: its command line is too long.\r\n");
      return EXIT_TOOL_NOT_STARTED;
    case UpdaterStage::PipeFailed:
    case UpdaterStage::HandleFailed:
    case UpdaterStage::HandleListFailed:
    case UpdaterStage::StartFailed:
      streams.Error(L"The updater could not be started: " + Wide(FailedCall(run.stage)) + L" failed (" +
                    std::to_wstring(run.errorCode) + L").\r\n");
      return EXIT_TOOL_NOT_STARTED;
    case UpdaterStage::Finished:
      break;
  }
  result.updaterExitCode = Wide(ExitCodeText(run.exitCode));
  if (run.failed) {
    spdlog::error("CommandLine updater reported failure");
    // The exit code tells a crashed or killed updater from one that said it failed.
    streams.Error(run.exitCode == 0 ? std::wstring(L"Firmware update failed.\r\n")
                                    : L"Firmware update failed (updater exit code " +
                                          Wide(ExitCodeText(run.exitCode)) + L").\r\n");
    return EXIT_UPDATE_FAILED;
  }
  // Only an updater that printed its completion text reported success.
  const std::wstring updaterSaid =
      run.completed ? L"The updater reported success but" : L"The updater ended without its completion text, and";
  const DockAfterFlash after = WaitForDockAfterFlash(
      "CommandLine", std::chrono::seconds(request.waitSeconds),
      [&request, &oldVersion](const std::wstring& version, bool restarted) {
        return IsFlashedVersion(request, oldVersion, version, restarted);
      },
      &*before.info);
  if (after.answer) result.fwRevAfter = after.answer->FwRev;
  switch (after.proof) {
    case DockProof::FlashRunning:
      streams.Error(FLASH_RUNNING_TEXT);
      return EXIT_BUSY;
    case DockProof::NoAnswer:
      spdlog::error("CommandLine dock did not answer within {} s", request.waitSeconds);
      streams.Error(updaterSaid + L" the dock did not answer within " + std::to_wstring(request.waitSeconds) +
                    L" s.\r\n");
      return EXIT_DOCK_DID_NOT_RETURN;
    case DockProof::Unchanged: {
      const std::wstring reported = VersionText(after.answer->FwRev);
      if (ForcedAnswerAccepted(request, after.answer->FwRev)) {
        if (!after.restarted) {
          // The wait ran out on a dock that kept answering: accepted under /force, and said.
          spdlog::info("CommandLine dock did not restart; it reports {}", WideToUtf8(reported));
          result.word = RESULT_NOT_RESTARTED;
          streams.Result(L"The dock did not restart; it reports " + reported + L".\r\n");
          return EXIT_SUCCESS_CODE;
        }
        break;
      }
      if (oldVersion.empty() && request.expect.empty() && !after.restarted) {
        // Nothing to compare with, and no restart seen: nothing shows that anything was flashed.
        spdlog::error("CommandLine version before unknown; the dock did not restart and reports {}",
                      WideToUtf8(reported));
        streams.Error(updaterSaid + L" the dock's version before the update was unknown and it did not restart, so "
                                    L"the update cannot be confirmed; it reports " +
                      reported + L".\r\n");
        return EXIT_VERSION_UNCHANGED;
      }
      spdlog::error("CommandLine dock still reports {}", WideToUtf8(reported));
      streams.Error(updaterSaid + L" the dock still reports " + reported +
                    (request.expect.empty() ? std::wstring() : L", expected " + request.expect) + L".\r\n");
      return EXIT_VERSION_UNCHANGED;
    }
    case DockProof::Flashed:
      break;
  }
  const std::wstring summary = VersionText(oldVersion) + L" -> " + VersionText(after.answer->FwRev);
  spdlog::info("CommandLine firmware updated {}", WideToUtf8(summary));
  streams.Result(L"Firmware updated: " + summary + L"\r\n");
  return EXIT_SUCCESS_CODE;
}

}  // namespace

int ReportInternalError(const std::string& what) {
  spdlog::error(LOG_INTERNAL_ERROR, what);
  ConsoleStream(STD_ERROR_HANDLE).Write(L"Internal error: " + Utf8ToWide(what) + L"\r\n");
  return Finish(EXIT_INTERNAL_ERROR);
}

int RunUnattended(const CommandRequest& request, FrontEnd frontEnd) {
  const ULONGLONG started = GetTickCount64();
  Streams streams;
  const bool jsonResult = (request.mode == CommandMode::Update && request.json) ||
                          (request.mode == CommandMode::UsageError && request.updateJson);
  streams.jsonOnly = jsonResult;
  UpdateResult result;
  int code = EXIT_INTERNAL_ERROR;
  try {
    if (request.mode == CommandMode::Help) {
      streams.out.Write(CommandLineUsage(frontEnd));
      return EXIT_SUCCESS_CODE;
    }
    StartQuietLogging(request, streams);
    if (request.mode == CommandMode::UsageError) {
      spdlog::error("CommandLine usage error {}", WideToUtf8(request.problem));
      streams.Error(L"Usage error: " + request.problem + L"\r\n");
      streams.err.Write(CommandLineUsage(frontEnd));
      code = Finish(EXIT_USAGE);
    } else if (StartUsbLibrary() < 0) {
      streams.Error(L"The USB library could not be initialised.\r\n");
      code = Finish(EXIT_USB_UNAVAILABLE);
    } else {
      code = Finish(request.mode == CommandMode::Info ? RunInfo(request, streams)
                                                      : RunUpdate(request, streams, result));
    }
  } catch (...) {
    const std::string what = CurrentExceptionText();
    streams.lastLine = L"Internal error: " + Utf8ToWide(what);
    code = ReportInternalError(what);
  }
  if (jsonResult) {
    result.exitCode = code;
    result.message = streams.lastLine;
    result.seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    streams.out.Write(FormatUpdateJson(result));
  }
  return code;
}
