#include "update/image_hash.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "base/win_handles.h"

namespace {

constexpr DWORD HASH_READ_SIZE = 64 * 1024;
constexpr DWORD SHA256_BYTES = 32;

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

std::wstring HexDigits(const BYTE* bytes, size_t length) {
  static constexpr wchar_t DIGITS[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

std::optional<std::wstring> ImageSha256(const std::wstring& path) {
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  UniqueResource<CryptProviderTraits> provider;
  if (!CryptAcquireContextW(provider.Receive(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return std::nullopt;
  }
  UniqueResource<CryptHashTraits> hash;
  if (!CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Receive())) return std::nullopt;
  std::vector<BYTE> block(HASH_READ_SIZE);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.Get(), block.data(), HASH_READ_SIZE, &read, nullptr)) return std::nullopt;
    if (read == 0) break;
    if (!CryptHashData(hash.Get(), block.data(), read, 0)) return std::nullopt;
  }
  BYTE digest[SHA256_BYTES] = {};
  DWORD length = SHA256_BYTES;
  if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0) || length != SHA256_BYTES) return std::nullopt;
  return HexDigits(digest, SHA256_BYTES);
}
