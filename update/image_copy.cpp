#include "update/image_copy.h"

#include <sddl.h>

#include <atomic>
#include <cstring>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "base/process_token.h"
#include "base/portable/text_conversion.h"
#include "base/win_handles.h"
#include "update/image_hash.h"

namespace {

constexpr DWORD COPY_BLOCK_SIZE = 64 * 1024;
constexpr int FOLDER_ATTEMPTS = 16;

std::wstring FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A name nobody can have taken for us: a folder that exists already, made by
// whoever, is never used.
std::wstring FolderCandidate(const std::wstring& temp, int attempt) {
  static std::atomic<unsigned> serial{0};
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return temp + L"VarnockFWUpdate." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(serial.fetch_add(1)) + L"." + std::to_wstring(now.QuadPart % 1000000007LL) + L"." +
         std::to_wstring(attempt);
}

bool MakePrivateFolder(std::wstring& folder, DWORD& error) {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    error = GetLastError();
    return false;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PrivateFolderSecurity(ProcessUserSid()).c_str(),
                                                            SDDL_REVISION_1, &descriptor, nullptr)) {
    error = GetLastError();
    return false;
  }
  const UniqueLocal owned(descriptor);
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = descriptor;
  for (int attempt = 0; attempt < FOLDER_ATTEMPTS; ++attempt) {
    const std::wstring candidate = FolderCandidate(temp, attempt);
    if (CreateDirectoryW(candidate.c_str(), &security)) {
      folder = candidate;
      return true;
    }
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

}  // namespace

std::wstring PrivateFolderSecurity(const std::wstring& userSid) {
  std::wstring text = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  if (!userSid.empty()) text += L"(A;OICI;FA;;;" + userSid + L")";
  return text;
}

ImageCopy::~ImageCopy() {
  if (!path_.empty()) DeleteFileW(path_.c_str());
  if (!folder_.empty()) RemoveDirectoryW(folder_.c_str());
}

ImageCopyStep ImageCopy::Make(const std::wstring& original) {
  // Others may read and write the original meanwhile, as the image rule allows:
  // what counts is what was read here.
  const UniqueHandle source(CreateFileW(original.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source) {
    error_ = GetLastError();
    check_ = FirmwareImageCheck::CannotOpen;
    return ImageCopyStep::CannotOpen;
  }
  if (!MakePrivateFolder(folder_, error_)) {
    spdlog::error("FWDownload image copy folder failed {}", error_);
    return ImageCopyStep::FolderFailed;
  }
  const std::wstring path = folder_ + L"\\" + FileNameOf(original);
  const UniqueHandle target(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!target) {
    error_ = GetLastError();
    spdlog::error("FWDownload image copy failed {}", error_);
    return ImageCopyStep::CopyFailed;
  }
  path_ = path;  // from now on deleted with the folder
  Sha256Digest digest;
  std::vector<char> block(COPY_BLOCK_SIZE);
  std::uint8_t head[8] = {};
  long long size = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source.Get(), block.data(), COPY_BLOCK_SIZE, &read, nullptr)) {
      error_ = GetLastError();
      spdlog::error("FWDownload image copy failed {}", error_);
      return ImageCopyStep::CopyFailed;
    }
    if (read == 0) break;
    for (DWORD i = 0; i < read && size + i < static_cast<long long>(sizeof(head)); ++i) {
      head[size + i] = static_cast<std::uint8_t>(block[i]);
    }
    DWORD written = 0;
    if (!WriteFile(target.Get(), block.data(), read, &written, nullptr) || written != read ||
        !digest.Add(block.data(), read)) {
      error_ = GetLastError();
      spdlog::error("FWDownload image copy failed {}", error_);
      return ImageCopyStep::CopyFailed;
    }
    size += read;
  }
  const std::optional<std::wstring> hex = digest.Hex();
  if (!hex) {
    error_ = GetLastError();
    spdlog::error("FWDownload image copy failed {}", error_);
    return ImageCopyStep::CopyFailed;
  }
  sha256_ = *hex;
  check_ = JudgeFirmwareImage(size, head);
  return ImageCopyStep::Done;
}
