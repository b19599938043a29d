#include <aclapi.h>

#include "base/win_handles.h"
#include "update/updater_trust.h"

ObjectSecurity ReadFileSecurity(HANDLE file, const std::wstring&, DWORD& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  error = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return {};
  const UniqueLocal owned(descriptor);
  return DescribeSecurity(descriptor);
}
