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

namespace {

// The SID a token information class names (TokenUser, TokenOwner): both
// records start with the SID's pointer.
std::wstring ProcessTokenSid(TOKEN_INFORMATION_CLASS which) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
  const UniqueHandle token(opened);
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), which, buffer, sizeof(buffer), &size)) return {};
  return SidText(which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                    : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);
}

}  // namespace

std::wstring ProcessUserSid() { return ProcessTokenSid(TokenUser); }

std::wstring ProcessDefaultOwnerSid() { return ProcessTokenSid(TokenOwner); }

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
