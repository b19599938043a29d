#pragma once
// Who, besides the machine's administrators, can change the updater: the
// rule over a file's (or folder's) security descriptor, written as plain
// data so that it holds without Windows. Run as SYSTEM or elevated, the
// program starts only an updater that nobody else can replace or alter.
#include <cstdint>
#include <string>
#include <vector>

// Accounts as SID strings.
inline constexpr wchar_t SID_SYSTEM[] = L"S-1-5-18";
inline constexpr wchar_t SID_ADMINISTRATORS[] = L"S-1-5-32-544";
inline constexpr wchar_t SID_TRUSTED_INSTALLER[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
inline constexpr wchar_t SID_CREATOR_OWNER[] = L"S-1-3-0";
inline constexpr wchar_t SID_EVERYONE[] = L"S-1-1-0";

// Rights that change a file, or what a folder holds: write data (add a file),
// append (add a folder), delete, delete a child, WRITE_DAC, WRITE_OWNER,
// GENERIC_WRITE, GENERIC_ALL.
inline constexpr std::uint32_t CHANGE_RIGHTS =
    0x00000002u | 0x00000004u | 0x00000040u | 0x00010000u | 0x00040000u | 0x00080000u | 0x40000000u | 0x10000000u;
// Rights on a folder further up that let another account put a tree of its
// own under the checked path: delete (rename) the folder, delete (rename) a
// child, WRITE_DAC, WRITE_OWNER, GENERIC_ALL. Adding entries is not among
// them: Authenticated Users may make folders in a volume's root by default.
inline constexpr std::uint32_t ANCESTOR_CHANGE_RIGHTS = 0x00000040u | 0x00010000u | 0x00040000u | 0x00080000u | 0x10000000u;

struct AccessEntry {
  bool allow = true;         // an allow entry; deny entries grant nothing
  bool inheritOnly = false;  // given to what is made inside, not to the object itself
  std::uint32_t mask = 0;
  std::wstring sid;
};

struct ObjectSecurity {
  std::wstring owner;                // empty: none recorded
  bool hasDacl = true;               // no DACL at all lets everyone do everything
  std::vector<AccessEntry> entries;  // the DACL in order
};

// Whether the account is one of SYSTEM, Administrators, TrustedInstaller, CREATOR OWNER.
bool IsTrustedAccount(const std::wstring& sid);
// The first account outside that set that owns the object or holds any of
// `rights` on it; empty when there is none.
std::wstring ChangeableBy(const ObjectSecurity& security, std::uint32_t rights = CHANGE_RIGHTS);
