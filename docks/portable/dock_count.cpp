#include "docks/portable/dock_count.h"

std::wstring SeveralDocksStatus(int dockCount, UiLanguage language) {
  return FillInText(TXT_STATUS_SEVERAL_DOCKS.In(language), L"{count}", std::to_wstring(dockCount));
}

std::wstring SeveralDocksRefusal(int dockCount, UiLanguage language) {
  return FillInText(TXT_MSG_SEVERAL_DOCKS.In(language), L"{count}", std::to_wstring(dockCount));
}

std::wstring SeveralDocksInfoNote(int dockCount) {
  return std::to_wstring(dockCount) + L" docks are connected; this is one of them.";
}

bool IsSameDock(const DockInfo& before, const DockInfo& now) {
  return before.SerialNumber.empty() || now.SerialNumber == before.SerialNumber;
}
