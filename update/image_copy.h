#pragma once
// The image a flash writes is a copy, hashed as it is read, in a folder made
// for this run that only SYSTEM, Administrators and the running account can
// write. The updater is given the copy: whoever can write the image's own
// folder (a share, Downloads) cannot swap the file between the hash and the
// updater's open. The folder goes when its owner does.
#include <windows.h>

#include <optional>
#include <string>

#include "update/portable/firmware_image.h"

enum class ImageCopyStep {
  Done,
  CannotOpen,    // the image itself cannot be read
  FolderFailed,  // no private folder could be made
  CopyFailed,    // reading, writing or hashing failed on the way
};

class ImageCopy {
 public:
  ImageCopy() = default;
  ImageCopy(const ImageCopy&) = delete;
  ImageCopy& operator=(const ImageCopy&) = delete;
  ~ImageCopy();

  // Copies `original`, hashing what it reads.
  ImageCopyStep Make(const std::wstring& original);
  // The copy's full path (the original's file name), for the updater.
  const std::wstring& Path() const { return path_; }
  // The SHA-256 of the bytes copied, lower-case hex.
  const std::wstring& Sha256() const { return sha256_; }
  // The image rule over the bytes copied.
  FirmwareImageCheck Check() const { return check_; }
  DWORD ErrorCode() const { return error_; }

 private:
  std::wstring folder_;
  std::wstring path_;
  std::wstring sha256_;
  FirmwareImageCheck check_ = FirmwareImageCheck::CannotOpen;
  DWORD error_ = ERROR_SUCCESS;
};

// The security of the run's folder: SYSTEM, Administrators and `userSid` all
// access, nothing inherited from above, passed on to what is made inside.
std::wstring PrivateFolderSecurity(const std::wstring& userSid);
