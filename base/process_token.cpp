#include "base/process_token.h"

#include <sddl.h>

#include "base/win_handles.h"

namespace {

constexpr wchar_t SYSTEM_SID[] = L"S-1-5-18";

}  // namespace

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return {};
  const UniqueLocal owner(text);
  return text;
}

std::wstring ProcessUserSid() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
  const UniqueHandle token(opened);
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) return {};
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

std::wstring ProcessDefaultOwnerSid() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
  const UniqueHandle token(opened);
  alignas(TOKEN_OWNER) BYTE buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenOwner, buffer, sizeof(buffer), &size)) return {};
  return SidText(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);
}

bool RunsPrivileged() {
  BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(administrators);
  BOOL member = FALSE;
  // Only an enabled group counts: a split token's administrators group is deny-only.
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
      CheckTokenMembership(nullptr, administrators, &member) && member) {
    return true;
  }
  return ProcessUserSid() == SYSTEM_SID;
}
