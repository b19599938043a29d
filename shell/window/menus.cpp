#include "shell/window/menus.h"

#include <spdlog/spdlog.h>

#include "resources/resource.h"
#include "base/portable/ui_text.h"

namespace {
// Not kept between runs; a new main window starts below others.
bool g_bTopmost = false;
}  // namespace

bool IsTopmost() { return g_bTopmost; }

void CreateMainMenu(HWND mainWindow) {
  spdlog::info("CreateMainMenu");
  g_bTopmost = false;
  const UiLanguage language = SelectUiLanguage();

  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, IDM_REFRESH, TXT_MENU_REFRESH.In(language));
  AppendMenuW(file, MF_SEPARATOR, 0, L"");
  AppendMenuW(file, MF_STRING, IDM_EXIT, TXT_MENU_EXIT.In(language));
  HMENU settings = CreatePopupMenu();
  AppendMenuW(settings, MF_STRING | (g_bTopmost ? MF_CHECKED : MF_UNCHECKED), IDM_TOPMOST,
              TXT_MENU_TOPMOST.In(language));
  HMENU help = CreatePopupMenu();
  AppendMenuW(help, MF_STRING, IDM_ABOUT, TXT_MENU_ABOUT.In(language));

  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), TXT_MENU_FILE.In(language));
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), TXT_MENU_SETTINGS.In(language));
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), TXT_MENU_HELP.In(language));
  SetMenu(mainWindow, bar);  // the window owns the bar and its drop-downs from here on
}

void ToggleTopmost(HWND mainWindow) {
  spdlog::info("TOPMOST");
  if (g_bTopmost) {
    SetWindowPos(mainWindow, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
    g_bTopmost = false;
  } else {
    SetWindowPos(mainWindow, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
    g_bTopmost = true;
  }
  HMENU settings = GetSubMenu(GetMenu(mainWindow), 1);
  CheckMenuItem(settings, IDM_TOPMOST, MF_BYCOMMAND | (g_bTopmost ? MF_CHECKED : MF_UNCHECKED));
}

std::wstring AboutText() {
  wchar_t text[256] = {};
  swprintf_s(text, 256, TXT_ABOUT_FORMAT, TXT_APP_TITLE, TXT_APP_VERSION, TXT_COPYRIGHT);
  return text;
}

void ShowAbout(HWND mainWindow) {
  spdlog::info("ABOUT");
  const std::wstring text = AboutText();
  MessageBoxW(mainWindow, text.c_str(), TXT_APP_TITLE, MB_OK);
}
