#pragma once
// SHA-256 through the system's CryptoAPI (advapi32), so that a run can pin
// the image it flashes and the log records which one it was.
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <optional>
#include <string>

#include "base/win_handles.h"

inline constexpr size_t SHA256_HEX_LENGTH = 64;

struct CryptProviderTraits {
  using Value = HCRYPTPROV;
  static bool Holds(HCRYPTPROV provider) { return provider != 0; }
  static void Free(HCRYPTPROV provider) { CryptReleaseContext(provider, 0); }
};
struct CryptHashTraits {
  using Value = HCRYPTHASH;
  static bool Holds(HCRYPTHASH hash) { return hash != 0; }
  static void Free(HCRYPTHASH hash) { CryptDestroyHash(hash); }
};

// A SHA-256 fed block by block, as the bytes are read.
class Sha256Digest {
 public:
  Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;
  // False once anything failed; the digest then has no value.
  bool Add(const void* data, DWORD length);
  // Lower-case hex digits; nothing when any step failed.
  std::optional<std::wstring> Hex();

 private:
  UniqueResource<CryptProviderTraits> provider_;
  UniqueResource<CryptHashTraits> hash_;
  bool failed_ = false;
};
