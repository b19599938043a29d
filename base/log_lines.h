#pragma once
// The log lines the read-me and the troubleshooting notes quote, written once,
// so that renaming a routine never changes a line a reader searches for.
// Every other line is written where it happens.

inline constexpr char LOG_FILL_LIST[] = "FillDataToListView";
inline constexpr char LOG_NO_DOCK_OPENED[] = "libusb_open_device_with_vid_pid failed";
inline constexpr char LOG_DOCK_UNOPENABLE[] = "QueryDock dock present but cannot be opened {}";
inline constexpr char LOG_FW_REQUEST_FAILED[] = "libusb_control_transfer failed {}";
inline constexpr char LOG_SESSION_END_REFUSED[] = "WM_QUERYENDSESSION refused: firmware update in progress";
inline constexpr char LOG_UPDATER_READ[] = "ReadFile";
inline constexpr char LOG_UPDATER_OUTSIDE_JOB[] = "RealFWDownload job allows breakaway: the updater runs outside it";
inline constexpr char LOG_UPDATER_INSIDE_JOB[] = "RealFWDownload job forbids breakaway: the updater runs inside it";
inline constexpr char LOG_UPDATER_START_FAILED[] = "CreateProcess failed {}";
inline constexpr char LOG_UPDATER_EXIT_CODE[] = "RealFWDownload tool exit code {}";
inline constexpr char LOG_UPDATER_END[] = "RealFWDownload end";
inline constexpr char LOG_COMMAND_LINE_EXIT[] = "CommandLine exit {}";
// What the dock said after a flash the updater called a success, in the window.
inline constexpr char LOG_DOCK_AFTER_FLASH[] = "FWDownload dock after flash {} -> {}";
inline constexpr char LOG_DOCK_STILL_REPORTS[] = "FWDownload dock after flash still reports {}";
inline constexpr char LOG_DOCK_NO_ANSWER[] = "FWDownload dock after flash did not answer within {} s";
inline constexpr char LOG_DOCK_VERSION_UNKNOWN[] =
    "FWDownload dock after flash: version before unknown, no restart seen, now {}";
// Held from just before the updater starts until it has ended; the argument
// names how: "PowerRequestSystemRequired", or "SetThreadExecutionState
// (PowerCreateRequest failed 120)" where no power request could be made.
inline constexpr char LOG_POWER_REQUEST_SET[] = "Power request set {}";
inline constexpr char LOG_POWER_REQUEST_CLEARED[] = "Power request cleared";
// The battery before a flash: refused, not known, or not looked at (/ignorepower).
inline constexpr char LOG_BATTERY_REFUSED[] = "Power check refused: {}";
inline constexpr char LOG_BATTERY_UNKNOWN[] = "Power check: battery unknown, going on: {}";
inline constexpr char LOG_BATTERY_IGNORED[] = "Power check skipped: /ignorepower";
// More than one dock with the dock's ids on the bus.
inline constexpr char LOG_SEVERAL_DOCKS[] = "QueryDock {} docks on the bus";
// Which image a flash wrote, from the window and the command line alike.
inline constexpr char LOG_IMAGE_SHA256[] = "FWDownload image sha256 {}";
// The copy of the image the updater is given, in a folder of the run's own.
inline constexpr char LOG_IMAGE_COPY[] = "FWDownload image copy {}";
// Who signed the updater, before every flash.
inline constexpr char LOG_UPDATER_SIGNED_BY[] = "FWDownload updater signed by {} {}";
inline constexpr char LOG_UPDATER_NOT_SIGNED[] = "FWDownload updater not signed";
inline constexpr char LOG_UPDATER_SIGNATURE_INVALID[] = "FWDownload updater signature invalid {}";
inline constexpr char LOG_INTERNAL_ERROR[] = "Internal error: {}";
