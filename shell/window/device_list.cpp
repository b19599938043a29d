#include "shell/window/device_list.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include <spdlog/spdlog.h>

#include "base/log_lines.h"

#include "shell/window/clipboard.h"
#include "docks/portable/clipboard_text.h"
#include "docks/dock_guard.h"
#include "docks/dock_query.h"
#include "resources/resource.h"
#include "base/portable/text_conversion.h"
#include "base/portable/ui_text.h"

namespace {

HWND g_hListView = nullptr;
// The docks behind the rows, row by row: the list shows them, it does not hold them.
std::vector<DockInfo> g_rowDocks;
// Docks with the dock's IDs on the bus at the last fill, opened or not.
int g_docksOnBus = 0;

// Why the last fill could not take the guard. Retries repeat it often, so
// it is logged only when it changes.
enum class GuardTrouble { None, Busy, Unusable };
GuardTrouble g_lastGuardTrouble = GuardTrouble::None;

void LogGuardTrouble(GuardTrouble trouble, const wchar_t* unusable = nullptr) {
  if (trouble == g_lastGuardTrouble) return;
  g_lastGuardTrouble = trouble;
  switch (trouble) {
    case GuardTrouble::Busy:
      spdlog::error("FillDataToListView skipped: the dock is busy");
      break;
    case GuardTrouble::Unusable:
      spdlog::error("FillDataToListView skipped: dock guard unusable {}", WideToUtf8(unusable ? unusable : L""));
      break;
    case GuardTrouble::None:
      spdlog::info("FillDataToListView the dock guard is free again");
      break;
  }
}

// Copies text into the shared zero-filled cell buffer, cut to what it holds.
void CopyIntoCellBuffer(std::vector<wchar_t>& buffer, const std::wstring& text) {
  const size_t length = std::min(text.size(), buffer.size() - 1);
  std::fill(buffer.begin(), buffer.end(), L'\0');
  std::copy_n(text.begin(), length, buffer.begin());
}

}  // namespace

int ListRowCount(HWND list) { return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

void ListAppendRow(HWND list, int row, const std::wstring& firstCell) {
  std::vector<wchar_t> buffer(CELL_BUFFER_LENGTH, L'\0');
  CopyIntoCellBuffer(buffer, firstCell);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = 0;
  item.pszText = buffer.data();
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void ListSetCell(HWND list, int row, int column, const std::wstring& text) {
  std::vector<wchar_t> buffer(CELL_BUFFER_LENGTH, L'\0');
  CopyIntoCellBuffer(buffer, text);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = column;
  item.pszText = buffer.data();
  SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

std::wstring ListReadCell(HWND list, int row, int column) {
  wchar_t buffer[CELL_READ_LENGTH] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.cchTextMax = CELL_READ_LENGTH;
  item.pszText = buffer;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  buffer[CELL_READ_LENGTH - 1] = L'\0';
  return buffer;
}

int ListNextSelectedRow(HWND list, int after) {
  return static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(after), LVNI_SELECTED));
}

void ListEmpty(HWND list) { SendMessageW(list, LVM_DELETEALLITEMS, 0, 0); }

void AppendDockRow(const DockInfo& dock) {
  const int row = ListRowCount(g_hListView);
  int column = 0;
  for (const DockColumn& shown : DOCK_COLUMNS) {
    // The row shows the dock's text with its control characters escaped; the
    // DockInfo behind it keeps the text as the dock sent it.
    const std::wstring text = EscapeControlChars(dock.*shown.field);
    if (column == 0) {
      ListAppendRow(g_hListView, row, text);
    } else if (!text.empty()) {
      ListSetCell(g_hListView, row, column, text);
    }
    ++column;
  }
  g_rowDocks.push_back(dock);
}

HWND DeviceListWindow() { return g_hListView; }

int DocksOnBusAtLastFill() { return g_docksOnBus; }

void ClearDockList() {
  ListEmpty(g_hListView);
  g_rowDocks.clear();
}

std::optional<DockInfo> SelectedDock() {
  const int row = ListNextSelectedRow(g_hListView, -1);
  if (row < 0 || static_cast<size_t>(row) >= g_rowDocks.size()) return std::nullopt;
  return g_rowDocks[static_cast<size_t>(row)];
}

DockListFill CreateListView(HWND parent) {
  spdlog::info("CreateListView");
  RECT area{};
  GetClientRect(parent, &area);
  InflateRect(&area, -DEVICE_LIST_MARGIN, -DEVICE_LIST_MARGIN);
  g_rowDocks.clear();
  g_hListView = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, nullptr, DEVICE_LIST_STYLE, area.left, area.top,
                                area.right - area.left, area.bottom - area.top, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICELIST)),
                                GetModuleHandleW(nullptr), nullptr);
  SendMessageW(g_hListView, LVM_SETTEXTCOLOR, 0, DEVICE_LIST_TEXT_COLOR);
  SendMessageW(g_hListView, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);

  const UiLanguage language = SelectUiLanguage();
  std::vector<wchar_t> buffer(CELL_BUFFER_LENGTH, L'\0');
  WPARAM index = 0;
  for (const DockColumn& shown : DOCK_COLUMNS) {
    CopyIntoCellBuffer(buffer, shown.title.In(language));
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = shown.width;
    column.pszText = buffer.data();
    SendMessageW(g_hListView, LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&column));
  }
  return FillDataToListView();
}

DockListFill FillDataToListView() {
  spdlog::info(LOG_FILL_LIST);
  g_docksOnBus = 0;
  const DockQueryGuard guard(nullptr, 0);
  if (guard.Unusable()) {
    LogGuardTrouble(GuardTrouble::Unusable, guard.Unusable());
    return DockListFill::GuardUnusable;
  }
  if (guard.FlashRunning()) {
    spdlog::info("FillDataToListView skipped: firmware update in progress");
    return DockListFill::FlashRunning;
  }
  if (!guard.Granted()) {
    LogGuardTrouble(GuardTrouble::Busy);
    return DockListFill::Busy;
  }
  LogGuardTrouble(GuardTrouble::None);
  const DockQueryResult query = QueryDockDiagnosed();
  g_docksOnBus = query.dockCount;
  if (query.info) AppendDockRow(*query.info);
  return DockListFill::Read;
}

void SelectAllRows() {
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  state.state = LVIS_SELECTED;
  SendMessageW(g_hListView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
}

int SelectedRowCount() { return static_cast<int>(SendMessageW(g_hListView, LVM_GETSELECTEDCOUNT, 0, 0)); }

void CopySelectItemInfo(HWND owner) {
  std::vector<DockInfo> docks;
  for (int row = ListNextSelectedRow(g_hListView, -1); row != -1; row = ListNextSelectedRow(g_hListView, row)) {
    if (static_cast<size_t>(row) < g_rowDocks.size()) docks.push_back(g_rowDocks[static_cast<size_t>(row)]);
  }
  CopyTextToClipboard(owner, FormatDocksForClipboard(docks));
}
