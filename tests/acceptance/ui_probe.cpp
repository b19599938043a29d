// Reads what a user would see of a running VarnockFWUpdate from outside its
// process, for the acceptance suite (which drives the program with xdotool):
//   ui_probe windows [caption]  JSON: the main window and every visible top-level window
//                        of its process (dialogs, message boxes, menus) with
//                        class, title, screen rectangle, enabled/topmost state,
//                        message-box text (static 0xFFFF), wait text (control 103)
//                        and the rectangle of the OK button
//                        and, for the main window, the device list's column titles,
//                        cells, selection and the screen rectangle of each row;
//                        with "caption" also the place of its minimise box
//   ui_probe clipboard   the clipboard's CF_UNICODETEXT as UTF-8 bytes (exit 2 if none)
//   ui_probe clear-clipboard   empties the clipboard, so a later copy is seen as new
//   ui_probe post-close HWND   posts WM_CLOSE to the window, as another program may (exit 1 if no such window)
//   ui_probe post-command ID   posts WM_COMMAND ID to the main window, as another program may
//   ui_probe query-end-session [closeapp]  asks the main window WM_QUERYENDSESSION (logoff, or
//                        with closeapp the Restart Manager's ENDSESSION_CLOSEAPP) as the
//                        session manager would and prints its answer (exit 1 without a main
//                        window, 2 if it did not answer)
//   ui_probe count-processes NAME  the number of running processes whose executable is NAME
//   ui_probe gate NAME   holds the named event unset (printing "ready" once it exists) until its
//                        standard input ends, then sets it: a stand-in updater whose script
//                        says "waitevent NAME" runs on until then
//   ui_probe serve       reads one of the commands above (gate aside) per line of standard input,
//                        words separated by spaces, and answers each with one line
//                        {"code":EXIT,"out":"OUTPUT"} until its input ends: a suite that looks
//                        hundreds of times pays for one Wine process start, not one per look
// Screen coordinates equal X root coordinates under Wine without a virtual desktop.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/support/probe_support.h"

namespace {

using testsupport::APP_CLASS;
using testsupport::APP_TITLE;
using testsupport::ClassName;
using testsupport::Utf8;

// What a command printed and its exit code.
struct Answer {
  int code = 0;
  std::string out;
};

std::string JsonBytes(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string Json(const std::wstring& text) { return JsonBytes(Utf8(text)); }

std::string Rect(const RECT& r) {
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + "]";
}

// Text of a control of another process (WM_GETTEXT is marshalled across processes).
std::wstring ControlText(HWND control) {
  wchar_t text[1024] = {};
  SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
  return text;
}

// List-view messages that carry pointers are not marshalled between processes:
// the records go through a buffer inside the program's own address space.
class RemoteBuffer {
 public:
  explicit RemoteBuffer(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (process_) memory_ = VirtualAllocEx(process_, nullptr, SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  }
  ~RemoteBuffer() {
    if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    if (process_) CloseHandle(process_);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  bool ok() const { return memory_ != nullptr; }
  char* at(size_t offset) const { return static_cast<char*>(memory_) + offset; }
  bool Write(size_t offset, const void* data, size_t size) const {
    return WriteProcessMemory(process_, at(offset), data, size, nullptr) != 0;
  }
  bool Read(size_t offset, void* data, size_t size) const {
    return ReadProcessMemory(process_, at(offset), data, size, nullptr) != 0;
  }
  static constexpr size_t SIZE = 4096;

 private:
  HANDLE process_ = nullptr;
  void* memory_ = nullptr;
};

constexpr size_t RECORD_OFFSET = 0;
constexpr size_t TEXT_OFFSET = 512;
constexpr int TEXT_UNITS = 256;

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result);
  return static_cast<LRESULT>(result);
}

// Sends a list message whose record (an LVITEMW or LVCOLUMNW) points at a
// text buffer inside the program, and reads that text back.
template <typename Record>
std::wstring RemoteText(HWND list, const RemoteBuffer& buffer, UINT message, int which, Record record) {
  wchar_t text[TEXT_UNITS] = {};
  buffer.Write(TEXT_OFFSET, text, sizeof text);
  record.cchTextMax = TEXT_UNITS;
  record.pszText = reinterpret_cast<wchar_t*>(buffer.at(TEXT_OFFSET));
  buffer.Write(RECORD_OFFSET, &record, sizeof record);
  if (!Send(list, message, static_cast<WPARAM>(which), reinterpret_cast<LPARAM>(buffer.at(RECORD_OFFSET)))) return {};
  buffer.Read(TEXT_OFFSET, text, sizeof text - sizeof(wchar_t));
  return text;
}

std::wstring CellText(HWND list, const RemoteBuffer& buffer, int row, int column) {
  LVITEMW item{};
  item.iSubItem = column;
  return RemoteText(list, buffer, LVM_GETITEMTEXTW, row, item);
}

std::wstring ColumnTitle(HWND list, const RemoteBuffer& buffer, int column) {
  LVCOLUMNW record{};
  record.mask = LVCF_TEXT;
  return RemoteText(list, buffer, LVM_GETCOLUMNW, column, record);
}

// Row rectangle in screen coordinates.
RECT RowRect(HWND list, const RemoteBuffer& buffer, int row) {
  RECT rect{};
  rect.left = LVIR_BOUNDS;
  buffer.Write(RECORD_OFFSET, &rect, sizeof rect);
  Send(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(buffer.at(RECORD_OFFSET)));
  buffer.Read(RECORD_OFFSET, &rect, sizeof rect);
  MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string DescribeList(HWND list) {
  RemoteBuffer buffer(list);
  if (!buffer.ok()) return "null";
  const int rows = static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0));
  const HWND header = reinterpret_cast<HWND>(Send(list, LVM_GETHEADER, 0, 0));
  const int columns = header ? static_cast<int>(Send(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
  std::string out = "{\"columns\":[";
  for (int c = 0; c < columns; ++c) out += (c ? "," : "") + Json(ColumnTitle(list, buffer, c));
  out += "],\"selected\":" + std::to_string(Send(list, LVM_GETSELECTEDCOUNT, 0, 0)) + ",\"rows\":[";
  for (int r = 0; r < rows; ++r) {
    out += std::string(r ? "," : "") + "{\"rect\":" + Rect(RowRect(list, buffer, r)) + ",\"cells\":[";
    for (int c = 0; c < columns; ++c) out += (c ? "," : "") + Json(CellText(list, buffer, r, c));
    out += "]}";
  }
  return out + "]}";
}

std::string Handle(HWND window) { return std::to_string(reinterpret_cast<UINT_PTR>(window)); }

std::string Describe(HWND window, bool withCaption = false) {
  RECT rect{};
  GetWindowRect(window, &rect);
  const LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
  std::string out = "{\"hwnd\":" + Handle(window) + ",\"class\":" + Json(ClassName(window)) +
                    ",\"title\":" + Json(ControlText(window)) + ",\"rect\":" + Rect(rect) +
                    ",\"visible\":" + (IsWindowVisible(window) ? "true" : "false") +
                    ",\"enabled\":" + (IsWindowEnabled(window) ? "true" : "false") +
                    ",\"iconic\":" + (IsIconic(window) ? "true" : "false") +
                    ",\"topmost\":" + ((exStyle & WS_EX_TOPMOST) ? "true" : "false") +
                    ",\"owner\":" + Handle(GetWindow(window, GW_OWNER));
  if (HWND text = GetDlgItem(window, testsupport::MESSAGE_BOX_TEXT_ID)) out += ",\"message\":" + Json(ControlText(text));
  if (HWND text = GetDlgItem(window, IDC_WAIT_TEXT)) out += ",\"wait_text\":" + Json(ControlText(text));
  if (HWND text = GetDlgItem(window, IDC_WAIT_WARNING)) out += ",\"wait_warning\":" + Json(ControlText(text));
  if (HWND text = GetDlgItem(window, IDC_WAIT_OUTPUT)) out += ",\"wait_line\":" + Json(ControlText(text));
  if (HWND text = GetDlgItem(window, IDC_WAIT_ELAPSED)) out += ",\"wait_elapsed\":" + Json(ControlText(text));
  HWND ok = ClassName(window) == L"#32770" ? GetDlgItem(window, IDOK) : nullptr;
  if (ok) {
    RECT okRect{};
    GetWindowRect(ok, &okRect);
    out += ",\"ok\":" + Rect(okRect);
  }
  if (HWND name = GetDlgItem(window, testsupport::WINE_FILE_NAME_ID)) out += ",\"file_name\":" + Json(ControlText(name));
  if (ClassName(window) == APP_CLASS) {
    RECT client{};
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    out += ",\"client\":" + Rect(client);
    if (HWND list = GetDlgItem(window, IDC_DEVICELIST)) out += ",\"list\":" + DescribeList(list);
  }
  if (ClassName(window) == APP_CLASS && withCaption) {
    // The minimise box, found by hit-testing along the caption (its place depends on the frame metrics).
    RECT frame{};
    GetWindowRect(window, &frame);
    const int y = frame.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    int first = -1, last = -1;
    for (int x = frame.right - 1; x > frame.right - 200 && x > frame.left; --x) {
      const LRESULT hit = Send(window, WM_NCHITTEST, 0, MAKELPARAM(x, y));
      if (hit == HTMINBUTTON) {
        if (last < 0) last = x;
        first = x;
      }
    }
    if (first >= 0) out += ",\"min_button\":[" + std::to_string((first + last) / 2) + "," + std::to_string(y) + "]";
  }
  return out + "}";
}

struct Collect {
  DWORD processId = 0;
  std::vector<HWND> windows;
  int mainCount = 0;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* state = reinterpret_cast<Collect*>(param);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId == state->processId && IsWindowVisible(window)) state->windows.push_back(window);
  if (ClassName(window) == APP_CLASS && ControlText(window) == APP_TITLE) ++state->mainCount;
  return TRUE;
}

Answer ListWindows(bool withCaption) {
  HWND main = FindWindowW(APP_CLASS, APP_TITLE);
  Collect state;
  if (main) GetWindowThreadProcessId(main, &state.processId);
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&state));
  std::string out = "{\"main\":" + (main ? Describe(main, withCaption) : std::string("null")) +
                    ",\"main_count\":" + std::to_string(state.mainCount) +
                    ",\"pid\":" + std::to_string(state.processId) +
                    ",\"foreground\":" + Handle(GetForegroundWindow()) + ",\"windows\":[";
  bool first = true;
  for (HWND window : state.windows) {
    if (window == main) continue;
    out += (first ? "" : ",") + Describe(window);
    first = false;
  }
  return {0, out + "]}\n"};
}

Answer ClearClipboard() {
  if (!testsupport::OpenClipboardPatiently()) return {testsupport::CLIPBOARD_BUSY, {}};
  const bool emptied = EmptyClipboard() != 0;
  CloseClipboard();
  return {emptied ? 0 : 2, {}};
}

Answer PrintClipboard() {
  std::wstring text;
  const int result = testsupport::ReadClipboardText(text);
  return {result, result == 0 ? Utf8(text) : std::string()};
}

Answer PostClose(const std::wstring& handle) {
  const HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(_wcstoui64(handle.c_str(), nullptr, 10)));
  return {IsWindow(window) && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1, {}};
}

Answer PostCommand(const std::wstring& id) {
  const HWND main = FindWindowW(APP_CLASS, APP_TITLE);
  return {main && PostMessageW(main, WM_COMMAND, _wcstoui64(id.c_str(), nullptr, 10), 0) ? 0 : 1, {}};
}

Answer QueryEndSession(bool closeApp) {
  const HWND main = FindWindowW(APP_CLASS, APP_TITLE);
  if (!main) return {1, {}};
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, closeApp ? ENDSESSION_CLOSEAPP : ENDSESSION_LOGOFF,
                           SMTO_ABORTIFHUNG, 5000, &answer)) {
    return {2, {}};
  }
  return {0, std::to_string(answer) + "\n"};
}

Answer CountProcesses(const std::wstring& name) {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return {1, {}};
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, name.c_str()) == 0) ++count;
  }
  CloseHandle(snapshot);
  return {0, std::to_string(count) + "\n"};
}

void WriteOut(const std::string& bytes) { testsupport::WriteStd(STD_OUTPUT_HANDLE, bytes); }

int HoldGate(const wchar_t* name) {
  const HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, name);
  if (!gate) return 1;
  WriteOut("ready\n");
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
  SetEvent(gate);
  CloseHandle(gate);
  return 0;
}

const wchar_t USAGE[] =
    L"usage: ui_probe windows [caption] | clipboard | clear-clipboard | post-close HWND |"
    L" post-command ID | query-end-session [closeapp] | count-processes NAME | gate NAME | serve\n";

// One command; words[0] is its name.
Answer Run(const std::vector<std::wstring>& words) {
  const std::wstring command = words.empty() ? L"" : words[0];
  const std::wstring first = words.size() > 1 ? words[1] : L"";
  if (command == L"windows") return ListWindows(first == L"caption");
  if (command == L"clipboard") return PrintClipboard();
  if (command == L"clear-clipboard") return ClearClipboard();
  if (command == L"post-close" && words.size() > 1) return PostClose(first);
  if (command == L"post-command" && words.size() > 1) return PostCommand(first);
  if (command == L"query-end-session") return QueryEndSession(first == L"closeapp");
  if (command == L"count-processes" && words.size() > 1) return CountProcesses(first);
  return {64, Utf8(USAGE)};
}

std::vector<std::wstring> Words(const std::string& line) {
  std::vector<std::wstring> words;
  std::wstring word;
  for (const char c : line + ' ') {
    if (c == ' ' || c == '\r') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += static_cast<wchar_t>(static_cast<unsigned char>(c));  // commands and their arguments are ASCII
    }
  }
  return words;
}

int Serve() {
  std::string pending;
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    pending.append(buffer, read);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const Answer answer = Run(Words(pending.substr(0, end)));
      pending.erase(0, end + 1);
      WriteOut("{\"code\":" + std::to_string(answer.code) + ",\"out\":" + JsonBytes(answer.out) + "}\n");
    }
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"gate" && argc > 2) return HoldGate(argv[2]);
  if (command == L"serve") return Serve();
  const Answer answer = Run(std::vector<std::wstring>(argv + 1, argv + argc));
  WriteOut(answer.out);
  return answer.code;
}
