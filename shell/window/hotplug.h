#pragma once
// Hot-plug: the list is rebuilt when the dock comes or goes.
#include <windows.h>

#include <functional>

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
inline constexpr GUID USB_DEVICE_INTERFACE_CLASS = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Registers the window for USB device-interface arrivals and removals.
void RegisterDeviceNotify(HWND mainWindow);
// Ends the registration (the quit path).
void UnregisterDeviceNotify();
// The registration, null when there is none.
HDEVNOTIFY DeviceNotifyHandle();
// WM_DEVICECHANGE: traces and logs, and calls `watchedDeviceChanged` for a
// watched device's arrival or removal; the window decides when to read the
// dock again. Always 0.
LRESULT HandleDeviceChange(WPARAM event, LPARAM record, const std::function<void()>& watchedDeviceChanged);
