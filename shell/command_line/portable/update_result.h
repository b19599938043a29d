#pragma once
// What an /update run ends with, written as one JSON object by /update … /json.
// Portable.
#include <optional>
#include <string>

// The word a script reads for each exit code, one row per code. An exit 0
// that flashed nothing says "already-current" instead.
struct ExitResultWord {
  int code;
  const wchar_t* word;
};
inline constexpr ExitResultWord EXIT_RESULT_WORDS[] = {
    {0, L"updated"},         {1, L"failed"},   {2, L"refused"}, {3, L"no-dock"},         {4, L"dock-unopenable"},
    {5, L"refused"},         {6, L"refused"},  {7, L"busy"},    {8, L"failed"},          {9, L"did-not-return"},
    {10, L"unchanged"},      {11, L"usb-unavailable"},          {12, L"low-battery"},     {13, L"several-docks"},
    {14, L"internal-error"}, {15, L"updater-changeable"},           {16, L"updater-not-signed"},
};
// Words for runs whose exit code alone does not tell what happened.
inline constexpr wchar_t RESULT_ALREADY_CURRENT[] = L"already-current";  // 0, nothing flashed
inline constexpr wchar_t RESULT_NOT_RESTARTED[] = L"not-restarted";      // 0 under /force, never seen off the bus
inline constexpr wchar_t RESULT_SIGNER_MISMATCH[] = L"signer-mismatch";  // 16, signed by another certificate

struct UpdateResult {
  int exitCode = 0;
  bool alreadyCurrent = false;  // exit 0 with nothing flashed
  const wchar_t* word = nullptr;  // when set, the Result word instead of the exit code's
  std::wstring message;         // the run's last word, as printed (without its line end)
  std::optional<std::wstring> image;  // its full path
  std::optional<std::wstring> imageSha256;
  std::optional<std::wstring> fwRevBefore;
  std::optional<std::wstring> fwRevAfter;
  std::optional<std::wstring> serialNumber;
  std::optional<std::wstring> updaterExitCode;  // "0x0", as the log writes it
  double seconds = 0;
};

// The word for an exit code; "internal-error" for a code without a row.
std::wstring ResultWord(int exitCode, bool alreadyCurrent);
// {"Result":…,"ExitCode":…,"Message":…,"Image":…,"ImageSha256":…,"FwRevBefore":…,
// "FwRevAfter":…,"SerialNumber":…,"UpdaterExitCode":…,"Seconds":…} and CRLF;
// a key without a value is null.
std::wstring FormatUpdateJson(const UpdateResult& result);
