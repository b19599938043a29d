#pragma once
// Who this process runs as, read from its own token.
#include <windows.h>

#include <string>

// A SID as its string ("S-1-5-18"); empty for none.
std::wstring SidText(PSID sid);
// The account the process runs as, as a SID string; empty when it cannot be read.
std::wstring ProcessUserSid();
// The owner this process gives what it makes (its token's default owner).
std::wstring ProcessDefaultOwnerSid();
// Whether this process runs as SYSTEM or with the Administrators group enabled.
bool RunsPrivileged();
