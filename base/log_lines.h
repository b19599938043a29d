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
