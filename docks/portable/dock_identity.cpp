#include "docks/portable/dock_identity.h"

#include <cwchar>

std::wstring UsbIdText(std::uint16_t id) {
  wchar_t text[8] = {};
  std::swprintf(text, 8, L"%04X", static_cast<unsigned>(id));
  return text;
}

std::wstring DockDevicePathId() {
  return L"VID_" + UsbIdText(DOCK_VENDOR_ID) + L"&PID_" + UsbIdText(DOCK_PRODUCT_ID);
}
