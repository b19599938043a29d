#include "shell/command_line/portable/update_result.h"

#include <cwchar>

#include "docks/portable/dock_report.h"

namespace {

std::wstring JsonOrNull(const std::optional<std::wstring>& text) { return text ? JsonString(*text) : L"null"; }

}  // namespace

std::wstring ResultWord(int exitCode, bool alreadyCurrent) {
  if (exitCode == 0 && alreadyCurrent) return RESULT_ALREADY_CURRENT;
  for (const ExitResultWord& row : EXIT_RESULT_WORDS) {
    if (row.code == exitCode) return row.word;
  }
  return L"internal-error";
}

std::wstring FormatUpdateJson(const UpdateResult& result) {
  wchar_t seconds[32] = {};
  std::swprintf(seconds, 32, L"%.1f", result.seconds);
  return L"{\"Result\":" +
         JsonString(result.word != nullptr ? std::wstring(result.word) : ResultWord(result.exitCode, result.alreadyCurrent)) +
         L",\"ExitCode\":" + std::to_wstring(result.exitCode) + L",\"Message\":" + JsonString(result.message) +
         L",\"Image\":" + JsonOrNull(result.image) + L",\"ImageSha256\":" + JsonOrNull(result.imageSha256) +
         L",\"FwRevBefore\":" + JsonOrNull(result.fwRevBefore) + L",\"FwRevAfter\":" + JsonOrNull(result.fwRevAfter) +
         L",\"SerialNumber\":" + JsonOrNull(result.serialNumber) +
         L",\"UpdaterExitCode\":" + JsonOrNull(result.updaterExitCode) + L",\"Seconds\":" + seconds + L"}\r\n";
}
