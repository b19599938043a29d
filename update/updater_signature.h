#pragma once
// Who signed the updater: its Authenticode signature, checked by the system
// (WinVerifyTrust) without any window and without fetching anything from
// the network (revocation is not checked online). Every flash logs it; the
// command line's /signer starts only an updater signed with one certificate.
#include <windows.h>

#include <string>

enum class SignatureState {
  Signed,    // valid; `subject` and `thumbprint` name the signing certificate
  NotSigned, // no signature at all
  Invalid,   // a signature the system refused: see `code`
};

struct UpdaterSignature {
  SignatureState state = SignatureState::NotSigned;
  LONG code = 0;            // WinVerifyTrust's result
  std::wstring subject;     // the signer's name
  std::wstring thumbprint;  // SHA-1 of the signing certificate, 40 upper-case hex digits
};

// Reads the signature of the file open as `file` (the bytes that will start;
// null to open `path`) and logs it: "FWDownload updater signed by <subject>
// <thumbprint>", "FWDownload updater not signed" or "FWDownload updater
// signature invalid 0x<code>".
UpdaterSignature ReadUpdaterSignature(const std::wstring& path, HANDLE file);

// The run asked for a signer (`thumbprint`, normalised as the parser leaves
// it): whether this signature is that signer's.
bool SignedBy(const UpdaterSignature& signature, const std::wstring& thumbprint);
