#include "update/image_hash.h"

namespace {

constexpr DWORD SHA256_BYTES = 32;

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

Sha256Digest::Sha256Digest() {
  failed_ = !CryptAcquireContextW(provider_.Receive(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
            !CryptCreateHash(provider_.Get(), CALG_SHA_256, 0, 0, hash_.Receive());
}

bool Sha256Digest::Add(const void* data, DWORD length) {
  if (!failed_ && length > 0) failed_ = !CryptHashData(hash_.Get(), static_cast<const BYTE*>(data), length, 0);
  return !failed_;
}

std::optional<std::wstring> Sha256Digest::Hex() {
  if (failed_) return std::nullopt;
  BYTE digest[SHA256_BYTES] = {};
  DWORD length = SHA256_BYTES;
  if (!CryptGetHashParam(hash_.Get(), HP_HASHVAL, digest, &length, 0) || length != SHA256_BYTES) {
    failed_ = true;
    return std::nullopt;
  }
  return HexDigits(digest, SHA256_BYTES);
}
