#include "update/updater_trust.h"

#include <sddl.h>

#include <spdlog/spdlog.h>

#include "base/text_conversion.h"
#include "base/win_handles.h"

namespace {

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
  const UniqueLocal owner(text);
  return text;
}

bool TokenIsSystem() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  const UniqueHandle token(opened);
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) == SID_SYSTEM;
}

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

// Who may change the file or folder; empty when only the trusted accounts can.
std::wstring ObjectChangeableBy(const std::wstring& path) {
  DWORD code = ERROR_SUCCESS;
  const ObjectSecurity security = ReadFileSecurity(path, code);
  if (code != ERROR_SUCCESS) {
    spdlog::error("UpdaterTrust GetNamedSecurityInfo failed {} {}", code, WideToUtf8(path));
    return SID_EVERYONE;
  }
  return ChangeableBy(security);
}

}  // namespace

bool RunsPrivileged() {
  BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(administrators);
  BOOL member = FALSE;
  // Only an enabled group counts: a split token's administrators group is deny-only.
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
      CheckTokenMembership(nullptr, administrators, &member) && member) {
    return true;
  }
  return TokenIsSystem();
}

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

std::wstring UpdaterChangeableBy(const std::wstring& toolPath) {
  const size_t slash = toolPath.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : toolPath.substr(0, slash);
  if (folder.size() == 2 && folder[1] == L':') folder += L'\\';  // a drive's root
  for (const std::wstring& path : {toolPath, folder}) {
    const std::wstring sid = ObjectChangeableBy(path);
    if (sid.empty()) continue;
    spdlog::error("UpdaterTrust {} changeable by {}", WideToUtf8(path), WideToUtf8(sid));
    return AccountName(sid);
  }
  return {};
}
