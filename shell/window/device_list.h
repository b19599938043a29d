#pragma once
// The DeviceListView: the report list of docks in the main window.
#include <windows.h>

#include <optional>
#include <string>

#include "docks/portable/dock_info.h"

inline constexpr DWORD DEVICE_LIST_STYLE = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | 0x8000 /*LVS_NOSORTHEADER*/ |
                                           0x0001 /*LVS_REPORT*/;
inline constexpr COLORREF DEVICE_LIST_TEXT_COLOR = RGB(10, 10, 160);
inline constexpr int DEVICE_LIST_MARGIN = 15;
inline constexpr int CELL_BUFFER_LENGTH = 260;
inline constexpr int CELL_READ_LENGTH = 128;

// How a fill went: the dock was looked at (found or not), or it was not
// read at all because a firmware update runs, or another look held it (or
// the guard could not be had at all), or a guard object exists but cannot be used.
enum class DockListFill { Read, FlashRunning, Busy, GuardUnusable };

// Creates the list in the parent's client area, adds the columns in the
// user's language and fills it once.
DockListFill CreateListView(HWND parent);
// The list control, once created.
HWND DeviceListWindow();
// Queries the dock, unless a flash or another look holds it (never waiting
// for the guard: this runs on the window's thread), and appends its row at
// the end of the list.
DockListFill FillDataToListView();
// How many docks the last fill found on the bus (0 when it did not look):
// the list shows one of them.
int DocksOnBusAtLastFill();
// Empties the list and the docks behind its rows.
void ClearDockList();
// The dock of the first selected row, if any.
std::optional<DockInfo> SelectedDock();
// Puts the selected rows' docks on the clipboard as labelled text; the main
// window owns the clipboard meanwhile.
void CopySelectItemInfo(HWND owner);
void SelectAllRows();
int SelectedRowCount();

// Row operations on a list view.
int ListRowCount(HWND list);
void ListAppendRow(HWND list, int row, const std::wstring& firstCell);
void ListSetCell(HWND list, int row, int column, const std::wstring& text);
std::wstring ListReadCell(HWND list, int row, int column);
int ListNextSelectedRow(HWND list, int after);
void ListEmpty(HWND list);
// Appends one dock as a row, its cells from the column table. The row's
// DockInfo is kept with the list (used by FillDataToListView).
void AppendDockRow(const DockInfo& dock);
