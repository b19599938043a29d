#include "update/portable/firmware_image.h"

#include <cstdio>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <share.h>
#endif

FirmwareImageCheck JudgeFirmwareImage(std::int64_t size, const std::uint8_t (&head)[8]) {
  if (size < FIRMWARE_MIN_SIZE) return FirmwareImageCheck::TooShort;
  if (std::memcmp(head, FIRMWARE_SIGNATURE, sizeof(FIRMWARE_SIGNATURE)) != 0) return FirmwareImageCheck::BadSignature;
  return FirmwareImageCheck::Accepted;
}

#ifdef _WIN32
FirmwareImageCheck CheckFirmwareImage(const std::wstring& path) {
  struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<FILE, FileCloser> file(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
  if (!file) return FirmwareImageCheck::CannotOpen;
  std::int64_t size = -1;
  if (_fseeki64(file.get(), 0, SEEK_END) == 0) size = _ftelli64(file.get());
  _fseeki64(file.get(), 0, SEEK_SET);
  std::uint8_t head[8] = {};
  if (size >= FIRMWARE_MIN_SIZE) std::fread(head, 1, sizeof(head), file.get());
  return JudgeFirmwareImage(size, head);
}
#endif
