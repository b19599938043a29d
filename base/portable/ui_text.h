#pragma once
// Every user-visible text of the program, in Chinese and English, and the
// rule that picks the language. Portable: no window code here.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "resources/product.h"

enum class UiLanguage { Chinese, English };

inline constexpr std::uint16_t LANGID_CHINESE_PRC = 2052;  // 0x0804
inline constexpr std::uint16_t LANGID_ENGLISH_US = 1033;   // 0x0409

// Chinese only for 2052; every other UI language reads English.
constexpr UiLanguage UiLanguageForLangId(std::uint16_t langId) {
  return langId == LANGID_CHINESE_PRC ? UiLanguage::Chinese : UiLanguage::English;
}

// Asks the system for the user's UI language, afresh at every call.
UiLanguage SelectUiLanguage();

// The language id that keys the tables: 2052 or 1033.
constexpr std::uint16_t LanguageId(UiLanguage language) {
  return language == UiLanguage::Chinese ? LANGID_CHINESE_PRC : LANGID_ENGLISH_US;
}

// A text that exists in both languages.
struct UiText {
  const wchar_t* chinese;
  const wchar_t* english;
  constexpr const wchar_t* In(UiLanguage language) const {
    return language == UiLanguage::Chinese ? chinese : english;
  }
};

inline constexpr UiText TXT_COL_VENDOR{L"制造商", L"Vendor"};
inline constexpr UiText TXT_COL_PRODUCT{L"产品", L"Product"};
inline constexpr UiText TXT_COL_SERIAL{L"序列号", L"SerialNumber"};
inline constexpr UiText TXT_COL_FWREV{L"固件版本", L"FwRev"};
inline constexpr UiText TXT_MENU_FILE{L"文件(&F)", L"&File"};
inline constexpr UiText TXT_MENU_REFRESH{L"刷新(&R)", L"&Refresh"};
inline constexpr UiText TXT_MENU_EXIT{L"退出(&X)", L"E&xit"};
inline constexpr UiText TXT_MENU_SETTINGS{L"设置(&S)", L"&Settings"};
inline constexpr UiText TXT_MENU_TOPMOST{L"顶置(&T)", L"&Topmost"};
inline constexpr UiText TXT_MENU_HELP{L"帮助(&H)", L"&Help"};
inline constexpr UiText TXT_MENU_ABOUT{L"关于(&A)", L"&About"};
inline constexpr UiText TXT_CTX_COPY_INFO{L"复制信息(&C)", L"&CopyInfo"};
inline constexpr UiText TXT_CTX_FW_DOWNLOAD{L"升级固件(&F)", L"&FWDownload"};
inline constexpr UiText TXT_WAIT_UPDATING{L"请稍等，固件正在升级中...", L"Please Wait,Firmware is Updating..."};
inline constexpr UiText TXT_WAIT_WARNING{L"请勿拔下扩展坞或关闭计算机。", L"Do not unplug the dock or turn off the computer."};
// Shown by Windows when the user logs off or shuts down during an update.
inline constexpr UiText TXT_SHUTDOWN_REASON{L"固件正在升级，请勿关机或拔下扩展坞。",
                                            L"Firmware update in progress. Do not turn off the computer or unplug the dock."};

// The status bar while a flash keeps the dock from the list.
inline constexpr UiText TXT_STATUS_FLASH_RUNNING{L"固件正在升级，结束后列表将自动刷新。",
                                                L"Firmware update in progress. The list refreshes when it ends."};

// The status bar while another copy's look at the dock keeps it from the list.
inline constexpr UiText TXT_STATUS_DOCK_BUSY{L"扩展坞正被其他程序读取，稍后将重新读取。",
                                            L"The dock is being read by another program; reading again shortly."};

// The wait box's latest-line area while the dock restarts after a flash.
inline constexpr UiText TXT_WAIT_DOCK_RESTART{L"正在等待扩展坞重新启动…", L"Waiting for the dock to restart…"};

// The outcome when the updater reported success but the dock tells otherwise; {version} is its version.
inline constexpr UiText TXT_MSG_DOCK_UNCHANGED{
    L"升级程序报告成功，但扩展坞仍显示固件版本 {version}。如果所选固件就是该版本，则无需处理；否则请重新升级。",
    L"The updater reported success, but the dock still reports firmware {version}. If the image holds that same version, "
    L"nothing is wrong; otherwise update again."};
// {seconds}: how long the dock was waited for.
inline constexpr UiText TXT_MSG_DOCK_NO_ANSWER{
    L"升级程序报告成功，但扩展坞在 {seconds} 秒内没有响应。请检查线缆和电源，然后选择“文件 > 刷新”。",
    L"The updater reported success, but the dock did not answer within {seconds} seconds. Check its cable and power, then "
    L"choose File > Refresh."};
// The outcome when the dock's version before the flash was unknown and the
// dock never left the bus: any version it reports now could be the old one. {version} is that version.
inline constexpr UiText TXT_MSG_DOCK_VERSION_UNKNOWN{
    L"升级程序报告成功，但升级前无法读取扩展坞的固件版本，且扩展坞没有重新启动，因此无法确认升级；它现在显示 {version}。请重新升级。",
    L"The updater reported success, but the dock's firmware version before the update could not be read and the "
    L"dock did not restart, so the update cannot be confirmed; it now reports {version}. Update again."};
// Another look at the dock kept it past the wait before a flash: nothing was flashed.
inline constexpr UiText TXT_MSG_DOCK_BUSY{L"扩展坞正被其他程序读取，未进行升级。请稍后重试。",
                                         L"The dock is being read by another program; nothing was flashed. Try "
                                         L"again shortly."};
// The chosen image could not be copied to the run's own folder: nothing was flashed.
inline constexpr UiText TXT_MSG_IMAGE_COPY_FAILED{
    L"无法将固件文件复制到本次升级专用的文件夹（错误 {code}），未进行升级。",
    L"The image could not be copied to a folder of this update's own (error {code}); nothing was flashed."};
// A guard object of the dock exists but cannot be used: the status bar and the command line.
inline constexpr UiText TXT_GUARD_UNUSABLE{
    L"扩展坞保护对象 {name} 被其他程序或帐户占用；如果没有正在进行的升级，请重新启动计算机。",
    L"The dock guard {name} is held by another program or account; if no update is running, restart the computer."};

// Run as SYSTEM or elevated, beside an updater that others can replace.
inline constexpr UiText TXT_UPDATER_CHANGEABLE{
    L"升级程序 {path} 可被 {account} 修改；请以管理员身份运行，本程序只启动仅管理员可修改的升级程序。",
    L"The updater {path} can be changed by {account}; run elevated, the program starts only an updater that "
    L"administrators alone can change."};

// A firmware update started elsewhere (the command line, another copy) holds the dock.
inline constexpr UiText TXT_MSG_UPDATE_RUNNING{L"另一个固件升级正在进行中。", L"Another firmware update is running."};

// Counted texts: {count} docks, or the battery's charge in {percent}.
// The status bar, and FWDownload's refusal, while more than one dock is on the bus.
inline constexpr UiText TXT_STATUS_SEVERAL_DOCKS{L"已连接 {count} 个扩展坞；请只保留一个再升级。",
                                                L"{count} docks are connected; unplug all but one to update."};
inline constexpr UiText TXT_MSG_SEVERAL_DOCKS{
    L"已连接 {count} 个扩展坞。请只保留要升级的那一个：升级程序无法区分要升级哪个扩展坞。",
    L"{count} docks are connected. Unplug all but the one to update: the updater cannot be told which dock to flash."};
// The battery before a flash: on battery power, and too low even on the adapter.
inline constexpr UiText TXT_MSG_BATTERY_UNPLUGGED{
    L"电池电量为 {percent}%，且计算机未接通电源。请连接电源适配器后再升级：升级时断电可能导致扩展坞无法使用。",
    L"The battery is at {percent}% and the computer is not plugged in. Connect the power adapter, then update again: a "
    L"flash that loses power can leave the dock unusable."};
inline constexpr UiText TXT_MSG_BATTERY_TOO_LOW{
    L"电池电量仅为 {percent}%，即使正在充电也过低，无法安全升级。请等电池充电后再升级：升级时断电可能导致扩展坞无法使用。",
    L"The battery is at {percent}%, too low to update safely even while charging. Let it charge, then update again: a "
    L"flash that loses power can leave the dock unusable."};

// Shown in Chinese whatever the UI language.
inline constexpr wchar_t TXT_MSG_TOOL_MISSING[] = L"%ls 文件不存在，无法升级。";
inline constexpr wchar_t TXT_MSG_INVALID_FW[] = L"不是有效的固件文件。";
inline constexpr wchar_t TXT_MSG_UPDATE_OK[] = L"固件升级成功。";
inline constexpr wchar_t TXT_MSG_UPDATE_FAILED[] = L"升级失败，请重新升级。";

// English in every UI language. The filter pairs end with one more NUL (the literal's own).
inline constexpr wchar_t TXT_FILE_FILTER[] = L"Bin Files\0*.bin\0All Files\0*.*\0";
inline constexpr wchar_t TXT_LOG_INIT_FAILED[] = L"Init Log Failed";
inline constexpr wchar_t TXT_TIP[] = L"Tip";

// The same in both languages.
inline constexpr wchar_t TXT_APP_TITLE[] = L"VarnockFirmwareUpdate";
inline constexpr wchar_t TXT_APP_CLASS[] = L"VarnockFWUpdate";
inline constexpr wchar_t TXT_APP_VERSION[] = L"V" VARNOCK_VERSION;
inline constexpr wchar_t TXT_COPYRIGHT[] = L"" VARNOCK_COPYRIGHT;
inline constexpr wchar_t TXT_ABOUT_FORMAT[] = L"%ls %ls\n\n%ls";

// The updater tool's file name, as it lies beside the program.
inline constexpr wchar_t UPDATER_TOOL_NAME[] = L"varnock_dockupdatefw.exe";


// The success box: the success text, a blank line, then "old → new".
std::wstring UpdateOkText(const std::wstring& before, const std::wstring& after);
// `text` with every `{field}` replaced by `value`.
std::wstring FillInText(std::wstring text, const std::wstring& field, const std::wstring& value);

// Constant tables, built by static initialisation before the entry point runs.
extern const std::map<std::uint16_t, std::vector<std::wstring>> g_ContextMenuTexts;
