// The demo's file descriptors. Wine keeps none (it makes one up from the
// Unix mode, owned by the signed-in user), so the demo reads a file's
// descriptor from "<path>.sddl" beside it when that exists, and otherwise
// takes it as an administrators-only file, as an installed program's is.
#include <windows.h>
#include <sddl.h>

#include <string>

#include "base/portable/text_conversion.h"
#include "base/win_handles.h"
#include "update/updater_trust.h"

namespace {

constexpr wchar_t ADMINISTRATORS_ONLY[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

std::wstring StoredDescriptor(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  const UniqueHandle file(CreateFileW((path + L".sddl").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return ADMINISTRATORS_ONLY;
  std::string bytes(4096, '\0');
  DWORD read = 0;
  if (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
  bytes.resize(read);
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  return Utf8ToWide(bytes);
}

}  // namespace

ObjectSecurity ReadFileSecurity(HANDLE, const std::wstring& path, DWORD& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(StoredDescriptor(path).c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    error = GetLastError();
    return {};
  }
  const UniqueLocal owned(descriptor);
  error = ERROR_SUCCESS;
  return DescribeSecurity(descriptor);
}
