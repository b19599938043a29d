#include "docks/portable/dock_count.h"

std::wstring SeveralDocksStatus(int dockCount, UiLanguage language) {
  return FormatUiText(TXT_STATUS_SEVERAL_DOCKS.In(language), dockCount);
}

std::wstring SeveralDocksRefusal(int dockCount, UiLanguage language) {
  return FormatUiText(TXT_MSG_SEVERAL_DOCKS.In(language), dockCount);
}

std::wstring SeveralDocksInfoNote(int dockCount) {
  return FormatUiText(L"%d docks are connected; this is one of them.", dockCount);
}

bool IsSameDock(const DockInfo& before, const DockInfo& now) {
  return before.SerialNumber.empty() || now.SerialNumber == before.SerialNumber;
}
