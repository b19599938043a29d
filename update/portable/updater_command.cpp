#include "update/portable/updater_command.h"

#include "base/portable/ui_text.h"
#include "docks/portable/dock_identity.h"

std::wstring BuildUpdaterCommandLine(const std::wstring& toolPath, const std::wstring& fwFile) {
  return L"\"" + toolPath + L"\" -vid " + UsbIdText(DOCK_VENDOR_ID) + L" -pid " + UsbIdText(DOCK_PRODUCT_ID) +
         L" -i \"" + fwFile + L"\" -l v";
}

std::wstring UpdaterToolPath(const std::wstring& modulePath) {
  const size_t separator = modulePath.find_last_of(L"\\/");
  const std::wstring directory = separator == std::wstring::npos ? std::wstring() : modulePath.substr(0, separator + 1);
  return directory + UPDATER_TOOL_NAME;
}
