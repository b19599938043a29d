// Asks Windows whether it trusts the signature of each file named on the
// command line, the way Explorer and application control do (WinVerifyTrust,
// no UI, no revocation check), and prints one line per file:
//   <result as 0x%08X> <signer's subject, or ->
// Exit code: 0 when every file could be asked, 2 on a usage error.
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <string>

namespace {

// The subject of the certificate that signed the file, "-" when there is none.
std::wstring SignerSubject(HANDLE stateData) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(stateData);
  if (provider == nullptr) return L"-";
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) return L"-";
  const CERT_CONTEXT* certificate = signer->pasCertChain[0].pCert;
  if (certificate == nullptr) return L"-";
  wchar_t subject[512] = L"";
  CertNameToStrW(X509_ASN_ENCODING, &certificate->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 512);
  return subject[0] != L'\0' ? subject : L"-";
}

LONG VerifyFile(const wchar_t* path, std::wstring& subject) {
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  subject = SignerSubject(data.hWVTStateData);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fwprintf(stderr, L"usage: trust_probe <file>...\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    std::wstring subject;
    const LONG result = VerifyFile(argv[i], subject);
    std::printf("0x%08lX %ls\n", static_cast<unsigned long>(result), subject.c_str());
  }
  return 0;
}
