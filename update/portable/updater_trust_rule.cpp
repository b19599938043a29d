#include "update/portable/updater_trust_rule.h"

bool IsTrustedAccount(const std::wstring& sid) {
  for (const wchar_t* trusted : {SID_SYSTEM, SID_ADMINISTRATORS, SID_TRUSTED_INSTALLER, SID_CREATOR_OWNER}) {
    if (sid == trusted) return true;
  }
  return false;
}

std::wstring ChangeableBy(const ObjectSecurity& security, std::uint32_t rights) {
  // The owner may rewrite the DACL whatever it says.
  if (!IsTrustedAccount(security.owner)) return security.owner.empty() ? std::wstring(SID_EVERYONE) : security.owner;
  if (!security.hasDacl) return SID_EVERYONE;
  for (const AccessEntry& entry : security.entries) {
    if (!entry.allow || entry.inheritOnly || (entry.mask & rights) == 0) continue;
    if (!IsTrustedAccount(entry.sid)) return entry.sid;
  }
  return {};
}
