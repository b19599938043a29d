#pragma once
// Run as SYSTEM or elevated, the updater is started only when nobody but
// SYSTEM, Administrators, TrustedInstaller (and CREATOR OWNER) can change it
// or the folder it lies in: otherwise any user who replaces it gets SYSTEM.
// A standard user's run is not checked: it gains nothing.
#include <windows.h>

#include <string>

#include "update/updater_trust_rule.h"

// Whether this process runs as SYSTEM or with the Administrators group enabled.
bool RunsPrivileged();

// A descriptor as plain data for the rule.
ObjectSecurity DescribeSecurity(PSECURITY_DESCRIPTOR descriptor);

// The descriptor of a file or folder as plain data; `error` is set (and
// nothing returned) when it cannot be read. Its own file, so that the demo,
// on a system that keeps no file descriptors, can link a stand-in.
ObjectSecurity ReadFileSecurity(const std::wstring& path, DWORD& error);

// The account ("DOMAIN\\name", or the SID when it has no name) that may change
// the updater or its folder; empty when only administrators can. A descriptor
// that cannot be read counts as changeable by everyone.
std::wstring UpdaterChangeableBy(const std::wstring& toolPath);
