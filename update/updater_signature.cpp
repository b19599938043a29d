#include "update/updater_signature.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"
#include "base/portable/text_conversion.h"

namespace {

// The verification's state, closed again on every path.
class TrustVerification {
 public:
  TrustVerification(const std::wstring& path, HANDLE file) {
    file_.cbStruct = sizeof(file_);
    file_.pcwszFilePath = path.c_str();
    file_.hFile = file;
    data_.cbStruct = sizeof(data_);
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    result_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
  }
  TrustVerification(const TrustVerification&) = delete;
  TrustVerification& operator=(const TrustVerification&) = delete;
  ~TrustVerification() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
  }
  LONG Result() const { return result_; }
  // The certificate that signed, once verified; null when there is none.
  PCCERT_CONTEXT Signer() const {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) return nullptr;
    return signer->pasCertChain[0].pCert;
  }

 private:
  WINTRUST_FILE_INFO file_{};
  WINTRUST_DATA data_{};
  LONG result_ = 0;
};

std::wstring SubjectName(PCCERT_CONTEXT certificate) {
  wchar_t name[512] = {};
  CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512);
  return name;
}

std::wstring Sha1Thumbprint(PCCERT_CONTEXT certificate) {
  BYTE hash[20] = {};
  DWORD size = sizeof(hash);
  if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) return {};
  static constexpr wchar_t DIGITS[] = L"0123456789ABCDEF";
  std::wstring text;
  for (DWORD i = 0; i < size; ++i) {
    text += DIGITS[hash[i] >> 4];
    text += DIGITS[hash[i] & 0x0F];
  }
  return text;
}

std::string Hex32(LONG code) {
  char text[16] = {};
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

}  // namespace

UpdaterSignature ReadUpdaterSignature(const std::wstring& path, HANDLE file) {
  UpdaterSignature signature;
  const TrustVerification verification(path, file);
  signature.code = verification.Result();
  if (signature.code == TRUST_E_NOSIGNATURE || signature.code == TRUST_E_SUBJECT_FORM_UNKNOWN ||
      signature.code == TRUST_E_PROVIDER_UNKNOWN) {
    signature.state = SignatureState::NotSigned;
    spdlog::info(LOG_UPDATER_NOT_SIGNED);
    return signature;
  }
  const PCCERT_CONTEXT signer = verification.Signer();
  if (signature.code != ERROR_SUCCESS || signer == nullptr) {
    signature.state = SignatureState::Invalid;
    spdlog::error(LOG_UPDATER_SIGNATURE_INVALID, Hex32(signature.code));
    return signature;
  }
  signature.state = SignatureState::Signed;
  signature.subject = SubjectName(signer);
  signature.thumbprint = Sha1Thumbprint(signer);
  spdlog::info(LOG_UPDATER_SIGNED_BY, WideToUtf8(signature.subject), WideToUtf8(signature.thumbprint));
  return signature;
}

bool SignedBy(const UpdaterSignature& signature, const std::wstring& thumbprint) {
  return signature.state == SignatureState::Signed && !signature.thumbprint.empty() &&
         signature.thumbprint == thumbprint;
}
