#include "docks/portable/dock_info.h"

namespace {

std::vector<std::wstring> ColumnTitles(UiLanguage language) {
  std::vector<std::wstring> titles;
  for (const DockColumn& column : DOCK_COLUMNS) titles.emplace_back(column.title.In(language));
  return titles;
}

std::map<std::int32_t, std::int32_t> ColumnWidths() {
  std::map<std::int32_t, std::int32_t> widths;
  std::int32_t index = 0;
  for (const DockColumn& column : DOCK_COLUMNS) widths[index++] = column.width;
  return widths;
}

}  // namespace

std::wstring FwRevFromReply(const std::uint8_t* reply, int received) {
  if (received < DOCK_FW_REPLY_MIN_LENGTH) return {};
  return std::to_wstring(reply[7]) + L"." + std::to_wstring(reply[6]) + L"." + std::to_wstring(reply[5]) + L"." +
         std::to_wstring(reply[4]);
}

const std::vector<std::wstring> g_ColumnTitlesZh = ColumnTitles(UiLanguage::Chinese);
const std::vector<std::wstring> g_ColumnTitlesEn = ColumnTitles(UiLanguage::English);
const std::map<std::int32_t, std::int32_t> g_ColumnWidths = ColumnWidths();
