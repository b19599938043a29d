#include "update/updater_trust.h"

#include <sddl.h>

#include <spdlog/spdlog.h>

#include "base/final_path.h"
#include "base/process_token.h"
#include "base/portable/text_conversion.h"

namespace {

// "DOMAIN\name" of a SID string; the SID itself when it has no name.
std::wstring AccountName(const std::wstring& sidText) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(sidText.c_str(), &sid)) return sidText;
  const UniqueLocal ownedSid(sid);
  wchar_t name[256] = {};
  wchar_t domain[256] = {};
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use{};
  if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) return sidText;
  return domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

std::wstring WithoutTrailingSlash(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// "C:\" of "C:\a\b", "\\server\share\" of "\\server\share\a": the top of the walk.
std::wstring VolumeRoot(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2) + L"\\";
  if (path.rfind(L"\\\\", 0) == 0) {
    const size_t server = path.find(L'\\', 2);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path + L"\\" : path.substr(0, share + 1);
  }
  return {};
}

// The folder a path lies in; empty at a volume's root.
std::wstring ParentFolder(const std::wstring& path, const std::wstring& root) {
  if (SamePath(WithoutTrailingSlash(path), WithoutTrailingSlash(root))) return {};
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  std::wstring parent = path.substr(0, slash);
  if (parent.size() == 2 && parent[1] == L':') parent += L'\\';  // a drive's root
  if (parent.size() < WithoutTrailingSlash(root).size()) return {};
  return parent;
}

}  // namespace

ObjectSecurity DescribeSecurity(PSECURITY_DESCRIPTOR descriptor) {
  ObjectSecurity security;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) security.owner = SidText(owner);
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    security.hasDacl = false;
    return security;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* raw = nullptr;
    if (!GetAce(dacl, index, &raw)) continue;
    const auto* header = static_cast<ACE_HEADER*>(raw);
    AccessEntry entry;
    entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    const BYTE type = header->AceType;
    if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE) {
      const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
      entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
      entry.mask = ace->Mask;
      entry.sid = SidText(const_cast<DWORD*>(&ace->SidStart));
    } else if (type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
               type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
      // An allow entry of a kind not read here: counted as granting anything to anyone.
      entry.mask = GENERIC_ALL;
      entry.sid = SID_EVERYONE;
    } else {
      continue;  // deny, audit and label entries grant nothing
    }
    security.entries.push_back(std::move(entry));
  }
  return security;
}

std::wstring HeldUpdater::OpenAndCheck(const std::wstring& toolPath) {
  // Readable by all, writable and deletable by nobody while held: a
  // replacement, a rename of the file or of a folder above it now fails.
  file_.Reset(CreateFileW(toolPath.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    const DWORD code = GetLastError();
    spdlog::error("UpdaterTrust open failed {} {}", code, WideToUtf8(toolPath));
    return L"a program that holds it open (error " + std::to_wstring(code) + L")";
  }
  const std::wstring expected = NormalizedPath(toolPath);
  const std::wstring final = FinalPath(file_.Get());
  if (final.empty() || !SamePath(final, expected)) {
    // A link or junction on the way: whoever may change where it leads may change the updater.
    spdlog::error("UpdaterTrust {} leads to {}", WideToUtf8(expected), WideToUtf8(final));
    return L"a link on its path (it leads to " + (final.empty() ? std::wstring(L"an unknown place") : final) + L")";
  }
  const std::wstring root = VolumeRoot(final);

  DWORD code = ERROR_SUCCESS;
  ObjectSecurity security = ReadFileSecurity(file_.Get(), final, code);
  std::wstring sid = code == ERROR_SUCCESS ? ChangeableBy(security, CHANGE_RIGHTS) : std::wstring(SID_EVERYONE);
  std::wstring changeablePath = final;
  // Its own folder may not be written at all; those above only so that
  // nobody can rename something on the way.
  std::uint32_t rights = CHANGE_RIGHTS;
  for (std::wstring folder = ParentFolder(final, root); sid.empty() && !folder.empty();
       folder = ParentFolder(folder, root), rights = ANCESTOR_CHANGE_RIGHTS) {
    UniqueHandle held(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    changeablePath = folder;
    if (!held) {
      code = GetLastError();
      spdlog::error("UpdaterTrust open failed {} {}", code, WideToUtf8(folder));
      sid = SID_EVERYONE;
      break;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(held.Get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      spdlog::error("UpdaterTrust {} is a link", WideToUtf8(folder));
      return L"a link on its path (" + folder + L")";
    }
    security = ReadFileSecurity(held.Get(), folder, code);
    if (code != ERROR_SUCCESS) {
      spdlog::error("UpdaterTrust GetSecurityInfo failed {} {}", code, WideToUtf8(folder));
      sid = SID_EVERYONE;
      break;
    }
    sid = ChangeableBy(security, rights);
    folders_.push_back(std::move(held));
  }
  if (sid.empty()) return {};
  spdlog::error("UpdaterTrust {} changeable by {}", WideToUtf8(changeablePath), WideToUtf8(sid));
  return AccountName(sid);
}

void HeldUpdater::Release() {
  folders_.clear();
  file_.Reset();
}

std::unique_ptr<HeldUpdater> HoldUpdaterWhenPrivileged(const std::wstring& toolPath, std::wstring& changeableBy) {
  changeableBy.clear();
  if (!RunsPrivileged()) return nullptr;
  auto held = std::make_unique<HeldUpdater>();
  changeableBy = held->OpenAndCheck(toolPath);
  return held;
}
