// The updater trust rule: any security descriptor in SDDL form, valid or
// not, is judged without a crash, and one whose owner is not an
// administrator, that has no DACL, or that grants anyone but SYSTEM,
// Administrators, TrustedInstaller or CREATOR OWNER any right that changes
// the file or folder, is never trusted, and the account named is that
// owner or the first such grantee; every other descriptor is trusted.
// The input: a mode byte; 0x01 set: the rest is SDDL text as it is;
// otherwise the descriptor is built from the bytes (owner, DACL form, then
// six bytes per entry) and written as SDDL. Either way the SDDL is read as
// Windows reads it, into the entries the program's reader hands the rule.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "update/portable/updater_trust_rule.h"

namespace {

using fuzz::Require;

constexpr std::uint32_t GENERIC_ALL_RIGHT = 0x10000000;

// The rights that change a file or what a folder holds, named one by one as
// the file system documents them; reading attributes, data or security and
// writing attributes or extended attributes are not among them.
struct ChangingRight {
  std::uint32_t bit;
  const char* what;
};
constexpr ChangingRight CHANGING_RIGHTS[] = {
    {0x00000002, "write data, or add a file to a folder"},
    {0x00000004, "append data, or add a folder to a folder"},
    {0x00000040, "delete a folder's child"},
    {0x00010000, "delete"},
    {0x00040000, "change the DACL"},
    {0x00080000, "take ownership"},
    {0x10000000, "generic all"},
    {0x40000000, "generic write"},
};

bool ChangesTheObject(std::uint32_t mask) {
  return std::any_of(std::begin(CHANGING_RIGHTS), std::end(CHANGING_RIGHTS),
                     [mask](const ChangingRight& right) { return (mask & right.bit) != 0; });
}

bool IsAdministrative(const std::wstring& sid) {
  return sid == L"S-1-5-18" || sid == L"S-1-5-32-544" || sid == L"S-1-3-0" ||
         sid == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}

// SDDL's account and right abbreviations (the subset a file's descriptor uses).
struct Abbreviation {
  const char* letters;
  const wchar_t* sid;
};
constexpr Abbreviation ACCOUNTS[] = {
    {"SY", L"S-1-5-18"},     {"BA", L"S-1-5-32-544"}, {"BU", L"S-1-5-32-545"}, {"AU", L"S-1-5-11"},
    {"WD", L"S-1-1-0"},      {"CO", L"S-1-3-0"},      {"CG", L"S-1-3-1"},      {"OW", L"S-1-3-4"},
    {"LS", L"S-1-5-19"},     {"NS", L"S-1-5-20"},     {"IU", L"S-1-5-4"},      {"PU", L"S-1-5-32-547"},
    {"BG", L"S-1-5-32-546"}, {"AN", L"S-1-5-7"},
};
struct RightName {
  const char* letters;
  std::uint32_t mask;
};
constexpr RightName RIGHTS[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000}, {"RC", 0x00020000},
    {"SD", 0x00010000}, {"WD", 0x00040000}, {"WO", 0x00080000}, {"RP", 0x00000010}, {"WP", 0x00000020},
    {"CC", 0x00000001}, {"DC", 0x00000002}, {"LC", 0x00000004}, {"SW", 0x00000008}, {"LO", 0x00000080},
    {"DT", 0x00000040}, {"CR", 0x00000100}, {"FA", 0x001F01FF}, {"FR", 0x00120089}, {"FW", 0x00120116},
    {"FX", 0x001200A0}, {"KA", 0x000F003F}, {"KR", 0x00020019}, {"KW", 0x00020006}, {"KX", 0x00020019},
};

// An SDDL reader for the descriptor's owner and DACL; nothing for text
// Windows would refuse in these parts.
class SddlReader {
 public:
  explicit SddlReader(std::string_view text) : text_(text) {}

  std::optional<ObjectSecurity> Read() {
    ObjectSecurity security;
    security.hasDacl = false;
    while (at_ < text_.size()) {
      if (text_.size() - at_ < 2 || text_[at_ + 1] != ':') return std::nullopt;
      const char part = text_[at_];
      at_ += 2;
      if (part == 'O' || part == 'G') {
        std::optional<std::wstring> sid = ReadSid();
        if (!sid) return std::nullopt;
        if (part == 'O') security.owner = *sid;
      } else if (part == 'D' || part == 'S') {
        bool nullAcl = false;
        while (at_ < text_.size() && text_[at_] != '(' && !(at_ + 1 < text_.size() && text_[at_ + 1] == ':')) {
          if (Take("NO_ACCESS_CONTROL")) nullAcl = true;
          else if (!Take("AI") && !Take("AR") && !Take("P")) return std::nullopt;
        }
        std::vector<AccessEntry> entries;
        while (at_ < text_.size() && text_[at_] == '(') {
          std::optional<std::optional<AccessEntry>> entry = ReadEntry();
          if (!entry) return std::nullopt;
          if (*entry) entries.push_back(**entry);
        }
        if (part == 'D') {
          security.hasDacl = !nullAcl;
          security.entries = nullAcl ? std::vector<AccessEntry>{} : entries;
        }
      } else {
        return std::nullopt;
      }
    }
    return security;
  }

 private:
  bool Take(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  // An abbreviation, or "S-1-…" with its numbers written back without
  // leading zeros, as ConvertSidToStringSid gives it.
  std::optional<std::wstring> ReadSid() {
    for (const Abbreviation& account : ACCOUNTS) {
      if (Take(account.letters)) return std::wstring(account.sid);
    }
    if (!Take("S-")) return std::nullopt;
    std::vector<std::uint64_t> numbers;
    for (;;) {
      std::uint64_t value = 0;
      size_t digits = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && digits < 16) {
        value = value * 10 + static_cast<std::uint64_t>(text_[at_++] - '0');
        ++digits;
      }
      if (digits == 0) return std::nullopt;
      numbers.push_back(value);
      if (at_ >= text_.size() || text_[at_] != '-') break;
      ++at_;
    }
    // Revision 1, an authority of 48 bits, one to fifteen 32-bit sub-authorities.
    if (numbers.size() < 3 || numbers.size() > 17 || numbers[0] != 1 || numbers[1] >= (1ull << 48)) return std::nullopt;
    std::wstring sid = L"S";
    for (size_t i = 0; i < numbers.size(); ++i) {
      if (i >= 2 && numbers[i] > 0xFFFFFFFFull) return std::nullopt;
      sid += L"-" + std::to_wstring(numbers[i]);
    }
    return sid;
  }
  std::optional<std::string_view> Field() {
    const size_t end = text_.find_first_of(";)", at_);
    if (end == std::string_view::npos || text_[end] != ';') return std::nullopt;
    const std::string_view field = text_.substr(at_, end - at_);
    at_ = end + 1;
    return field;
  }
  // One "(type;flags;rights;object;inherited object;account)" entry; an
  // inner nothing for kinds the program's reader skips.
  std::optional<std::optional<AccessEntry>> ReadEntry() {
    ++at_;  // '('
    const std::optional<std::string_view> type = Field();
    const std::optional<std::string_view> flags = Field();
    const std::optional<std::string_view> rights = Field();
    const std::optional<std::string_view> object = Field();
    const std::optional<std::string_view> inherited = Field();
    if (!type || !flags || !rights || !object || !inherited) return std::nullopt;
    const std::optional<std::wstring> sid = ReadSid();
    if (!sid || !Take(")")) return std::nullopt;

    AccessEntry entry;
    for (size_t i = 0; i < flags->size(); i += 2) {
      const std::string_view flag = flags->substr(i, 2);
      if (flag == "IO") entry.inheritOnly = true;
      else if (flag != "OI" && flag != "CI" && flag != "NP" && flag != "ID" && flag != "SA" && flag != "FA")
        return std::nullopt;
    }
    if (rights->substr(0, 2) == "0x" || rights->substr(0, 2) == "0X") {
      if (rights->size() < 3 || rights->size() > 10) return std::nullopt;
      for (const char h : rights->substr(2)) {
        const int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                                      : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        entry.mask = entry.mask << 4 | static_cast<std::uint32_t>(digit);
      }
    } else {
      if (rights->size() % 2 != 0) return std::nullopt;
      for (size_t i = 0; i < rights->size(); i += 2) {
        const auto right = std::find_if(std::begin(RIGHTS), std::end(RIGHTS), [&](const RightName& name) {
          return rights->substr(i, 2) == name.letters;
        });
        if (right == std::end(RIGHTS)) return std::nullopt;
        entry.mask |= right->mask;
      }
    }
    entry.sid = *sid;
    // As the program's reader takes them: allow and deny entries as they
    // are, allow entries of other kinds as everything for everyone, the rest
    // (audit, label, object deny) not at all.
    if (*type == "A" || *type == "D") {
      entry.allow = *type == "A";
      return std::optional<AccessEntry>(entry);
    }
    if (*type == "OA" || *type == "XA" || *type == "ZA") {
      entry.allow = true;
      entry.mask = GENERIC_ALL_RIGHT;
      entry.sid = SID_EVERYONE;
      return std::optional<AccessEntry>(entry);
    }
    if (*type == "OD" || *type == "XD" || *type == "AU" || *type == "AL" || *type == "OU" || *type == "ML") {
      return std::optional<AccessEntry>();
    }
    return std::nullopt;
  }

  std::string_view text_;
  size_t at_ = 0;
};

// A descriptor built from bytes, written as SDDL.
std::string BuiltSddl(std::string_view bytes) {
  constexpr const char* OTHER_ACCOUNTS[] = {
      "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", "S-1-5-32-544", "S-1-5-032-0544",
      "S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-3-0", "S-1-5-18", "S-1-5-32-545"};
  constexpr size_t accountCount = std::size(ACCOUNTS) + std::size(OTHER_ACCOUNTS);
  auto account = [&](std::uint8_t pick) -> std::string {
    const size_t index = pick % accountCount;
    return index < std::size(ACCOUNTS) ? ACCOUNTS[index].letters : OTHER_ACCOUNTS[index - std::size(ACCOUNTS)];
  };
  auto byte = [&](size_t i) { return i < bytes.size() ? static_cast<std::uint8_t>(bytes[i]) : std::uint8_t{0}; };
  std::string sddl;
  if (byte(0) % 8 != 0) sddl += "O:" + account(byte(0) / 8);
  constexpr const char* DACL_FORMS[] = {"", "D:", "D:P", "D:PAI", "D:NO_ACCESS_CONTROL", "D:AI"};
  const std::string dacl = DACL_FORMS[byte(1) % std::size(DACL_FORMS)];
  if (dacl.empty()) return sddl;
  sddl += dacl;
  constexpr const char* TYPES[] = {"A", "A", "A", "D", "OA", "OD", "AU", "XA"};
  constexpr const char* FLAGS[] = {"OI", "CI", "IO", "ID", "NP"};
  for (size_t at = 2; at + 6 <= bytes.size() && at < 2 + 6 * 12; at += 6) {
    sddl += "(";
    sddl += TYPES[byte(at) % std::size(TYPES)];
    sddl += ";";
    for (size_t flag = 0; flag < std::size(FLAGS); ++flag) {
      if ((byte(at + 1) >> flag & 1) != 0) sddl += FLAGS[flag];
    }
    sddl += ";";
    if (byte(at + 2) >= 0xC0) {
      // A mask of one or two bits, so every single right is tried alone.
      const std::uint32_t mask = 1u << (byte(at + 3) % 32) | 1u << (byte(at + 4) % 32);
      char hex[16];
      std::snprintf(hex, sizeof(hex), "0x%x", mask);
      sddl += hex;
    } else {
      sddl += RIGHTS[byte(at + 2) % std::size(RIGHTS)].letters;
      if (byte(at + 3) < std::size(RIGHTS)) sddl += RIGHTS[byte(at + 3)].letters;
    }
    sddl += ";;;" + account(byte(at + 5)) + ")";
  }
  return sddl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view rest = fuzz::Bytes(data + 1, size - 1);
  const std::string sddl = (data[0] & 1) != 0 ? std::string(rest) : BuiltSddl(rest);
  const std::optional<ObjectSecurity> security = SddlReader(sddl).Read();
  if (!security) return 0;  // Windows refuses the text: no descriptor to judge

  std::wstring changer;  // the account the rule must name, or none
  if (!IsAdministrative(security->owner)) {
    changer = security->owner.empty() ? std::wstring(SID_EVERYONE) : security->owner;
  } else if (!security->hasDacl) {
    changer = SID_EVERYONE;
  } else {
    for (const AccessEntry& entry : security->entries) {
      if (entry.allow && !entry.inheritOnly && ChangesTheObject(entry.mask) && !IsAdministrative(entry.sid)) {
        changer = entry.sid;
        break;
      }
    }
  }
  const std::wstring judged = ChangeableBy(*security);
  Require(!changer.empty() || judged.empty(), "a descriptor only administrators can change is trusted");
  Require(changer.empty() || !judged.empty(), "a grant of a changing right to another account is never trusted");
  Require(judged == changer, "the account named is the owner or the first that may change it");
  Require(judged.empty() || !IsAdministrative(judged), "an administrator is never named as the one who may change it");
  return 0;
}
