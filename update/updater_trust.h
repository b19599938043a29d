#pragma once
// Run as SYSTEM or elevated, the updater is started only when nobody but
// SYSTEM, Administrators, TrustedInstaller (and CREATOR OWNER) can change it,
// the folder it lies in, or any folder above that one: otherwise any user
// who replaces it gets SYSTEM. The file and every folder on its path are
// opened for the check and held until the updater has started, so that what
// was checked is what starts. A standard user's run is not checked: it
// gains nothing.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/win_handles.h"
#include "update/portable/updater_trust_rule.h"

// A descriptor as plain data for the rule.
ObjectSecurity DescribeSecurity(PSECURITY_DESCRIPTOR descriptor);

// The descriptor of an open file or folder (`path` is its final path) as
// plain data; `error` is set (and nothing returned) when it cannot be read.
// Its own file, so that the demo, on a system that keeps no file
// descriptors, can link a stand-in.
ObjectSecurity ReadFileSecurity(HANDLE file, const std::wstring& path, DWORD& error);

// The updater and the folders above it, opened so that none of them can be
// written, renamed or deleted while this object lives.
class HeldUpdater {
 public:
  HeldUpdater() = default;
  HeldUpdater(const HeldUpdater&) = delete;
  HeldUpdater& operator=(const HeldUpdater&) = delete;

  // Opens and checks; the account other than the administrators that may
  // change the updater or a folder on its path ("DOMAIN\\name", or what
  // stands in the way); empty when only administrators can.
  std::wstring OpenAndCheck(const std::wstring& toolPath);
  // The updater's own handle, readable: its signature is read through it.
  HANDLE File() const { return file_.Get(); }
  // Lets go of everything once the updater has started.
  void Release();

 private:
  UniqueHandle file_;
  std::vector<UniqueHandle> folders_;
};

// Run as SYSTEM or elevated: the updater opened, checked and held (its
// check's verdict in `changeableBy`); a standard user's run holds nothing.
std::unique_ptr<HeldUpdater> HoldUpdaterWhenPrivileged(const std::wstring& toolPath, std::wstring& changeableBy);
