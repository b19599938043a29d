#include "shell/window/hotplug.h"

#include <dbt.h>

#include <cstddef>
#include <cwchar>
#include <string>

#include <spdlog/spdlog.h>

#include "docks/portable/device_paths.h"
#include "docks/portable/dock_identity.h"
#include "base/log.h"
#include "base/portable/text_conversion.h"

namespace {

HDEVNOTIFY g_hDevNotify = nullptr;

// The interface path of a record, bounded by the record's own size so a
// record without a terminator is never read past its end.
std::wstring InterfacePath(const DEV_BROADCAST_DEVICEINTERFACE_W* record) {
  constexpr size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (record->dbcc_size <= nameOffset) return {};
  const size_t capacity = (record->dbcc_size - nameOffset) / sizeof(wchar_t);
  return std::wstring(record->dbcc_name, wcsnlen(record->dbcc_name, capacity));
}

// The drive mask of a volume record; none when the record is too short to hold it.
DWORD UnitMask(const DEV_BROADCAST_HDR* header) {
  constexpr size_t maskEnd = offsetof(DEV_BROADCAST_VOLUME, dbcv_unitmask) + sizeof(DWORD);
  if (header->dbch_size < maskEnd) return 0;
  return reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header)->dbcv_unitmask;
}

void TraceDevicePath(const wchar_t* what, const std::wstring& path) {
  OutputDebugStringW(what);
  OutputDebugStringW(path.c_str());
  OutputDebugStringW(L"\n");
}

void OnArrival(const DEV_BROADCAST_HDR* header, const std::function<void()>& watchedDeviceChanged) {
  spdlog::info("DBT_DEVICEARRIVAL");
  if (header == nullptr) return;
  if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    const std::wstring path = InterfacePath(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header));
    TraceDevicePath(L"USB device added.    ", path);
    spdlog::info("DBT_DEVTYP_DEVICEINTERFACE USB device added. {} ", WideToUtf8(path));
    if (IsWatchedDevicePath(path, DockDevicePathId()) || IsWatchedDevicePath(path, WATCHED_SECOND_ID)) {
      watchedDeviceChanged();
    }
  } else if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
    const std::wstring trace = L"Volume Arrival " + VolumeMaskText(UnitMask(header));
    OutputDebugStringW(trace.c_str());
  }
}

void OnRemoveComplete(const DEV_BROADCAST_HDR* header, const std::function<void()>& watchedDeviceChanged) {
  if (header == nullptr) return;
  wchar_t trace[128] = {};
  swprintf_s(trace, 128, L"DBT_DEVICEREMOVECOMPLETE type=%d\n", static_cast<int>(header->dbch_devicetype));
  OutputDebugStringW(trace);
  if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    const std::wstring path = InterfacePath(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header));
    TraceDevicePath(L"USB device removed.    ", path);
    spdlog::info("DBT_DEVICEREMOVECOMPLETE USB device removed. {}", WideToUtf8(path));
    if (IsWatchedDevicePath(path, DockDevicePathId())) watchedDeviceChanged();
  } else if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
    const std::wstring text = L"Volume Removed " + VolumeMaskText(UnitMask(header)) + L"\n";
    OutputDebugStringW(text.c_str());
  }
}

}  // namespace

void RegisterDeviceNotify(HWND mainWindow) {
  spdlog::info("RegisterDeviceNotify");
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = USB_DEVICE_INTERFACE_CLASS;
  filter.dbcc_name[0] = L'\0';
  g_hDevNotify = RegisterDeviceNotificationW(mainWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void UnregisterDeviceNotify() {
  UnregisterDeviceNotification(g_hDevNotify);
  g_hDevNotify = nullptr;
}

HDEVNOTIFY DeviceNotifyHandle() { return g_hDevNotify; }

LRESULT HandleDeviceChange(WPARAM event, LPARAM record, const std::function<void()>& watchedDeviceChanged) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
  if (event == DBT_DEVICEARRIVAL) {
    OnArrival(header, watchedDeviceChanged);
  } else if (event == DBT_DEVICEREMOVECOMPLETE) {
    OnRemoveComplete(header, watchedDeviceChanged);
  }
  return 0;
}
