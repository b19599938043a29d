#include "docks/device_list.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include <spdlog/spdlog.h>

#include "docks/clipboard.h"
#include "docks/clipboard_text.h"
#include "docks/dock_guard.h"
#include "docks/dock_info.h"
#include "shell/globals.h"
#include "shell/ui_text.h"

namespace {

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

void AppendDockRow(HWND list, const DockInfo& dock) {
  const int row = ListRowCount(list);
  ListAppendRow(list, row, dock.Vendor);
  ListSetCell(list, row, 1, dock.Product);
  ListSetCell(list, row, 2, dock.SerialNumber);
  if (!dock.FwRev.empty()) ListSetCell(list, row, 3, dock.FwRev);
}

DockListFill CreateListView(HWND parent) {
  spdlog::info("CreateListView");
  RECT area{};
  GetClientRect(parent, &area);
  InflateRect(&area, -DEVICE_LIST_MARGIN, -DEVICE_LIST_MARGIN);
  g_hListView = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, nullptr, DEVICE_LIST_STYLE, area.left, area.top,
                                area.right - area.left, area.bottom - area.top, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICELIST)),
                                GetModuleHandleW(nullptr), nullptr);
  SendMessageW(g_hListView, LVM_SETTEXTCOLOR, 0, DEVICE_LIST_TEXT_COLOR);
  SendMessageW(g_hListView, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);

  const std::vector<std::wstring>& titles =
      SelectUiLanguage() == UiLanguage::Chinese ? g_ColumnTitlesZh : g_ColumnTitlesEn;
  std::vector<wchar_t> buffer(CELL_BUFFER_LENGTH, L'\0');
  for (size_t i = 0; i < titles.size(); ++i) {
    CopyIntoCellBuffer(buffer, titles[i]);
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = g_ColumnWidths.at(static_cast<std::int32_t>(i));
    column.pszText = buffer.data();
    SendMessageW(g_hListView, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
  return FillDataToListView();
}

DockListFill FillDataToListView() {
  spdlog::info("FillDataToListView");
  const DockQueryGuard guard;
  if (guard.FlashRunning()) {
    spdlog::info("FillDataToListView skipped: firmware update in progress");
    return DockListFill::FlashRunning;
  }
  if (!guard.Granted()) {
    spdlog::error("FillDataToListView skipped: the dock is busy");
    return DockListFill::Busy;
  }
  const std::optional<DockInfo> dock = QueryDock();
  if (dock) AppendDockRow(g_hListView, *dock);
  return DockListFill::Read;
}

void CopySelectItemInfo(HWND owner) {
  std::vector<std::vector<std::wstring>> rows;
  for (int row = ListNextSelectedRow(g_hListView, -1); row != -1; row = ListNextSelectedRow(g_hListView, row)) {
    std::vector<std::wstring> cells;
    for (size_t column = 0; column < g_ColumnTitlesZh.size(); ++column) {
      cells.push_back(ListReadCell(g_hListView, row, static_cast<int>(column)));
    }
    rows.push_back(std::move(cells));
  }
  CopyTextToClipboard(owner, FormatRowsForClipboard(rows));
}
