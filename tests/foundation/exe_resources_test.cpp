// The resources of the built VarnockFWUpdate.exe, read back from the file the
// way Windows reads them: version block, manifest, wait-dialog template 102
// (byte by byte) and icon 101.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/portable/ui_text.h"
#include "resources/resource.h"
#include "tests/support/test_support.h"

namespace {

constexpr WORD LANG_CHINESE_PRC_ID = 0x0804;
constexpr WORD CODE_PAGE_UTF16 = 1200;  // 0x04b0
constexpr int DIALOG_ID = 102;
constexpr int TEXT_ID = 103;
constexpr int ICON_ID = 101;

// Styles read better in hex when they differ.
std::string Hex(DWORD value) {
  char text[16] = {};
  snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::wstring ProductPath() { return testsupport::BuildFolder() + L"VarnockFWUpdate.exe"; }

// The exe mapped as resources only, as a viewer of its properties would.
class ProductImage : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ProductPath().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot map VarnockFWUpdate.exe, error " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  // The raw bytes of a resource (empty if missing).
  std::string Resource(const wchar_t* type, const wchar_t* name) const {
    HRSRC found = FindResourceW(module_, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module_, found));
  }

  std::vector<WORD> Languages(const wchar_t* type, const wchar_t* name) const {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(
        module_, type, name,
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) -> BOOL {
          reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }

  HMODULE module_ = nullptr;
};

// Reads a dialog template in its own little-endian layout, refusing to run past its end.
class TemplateReader {
 public:
  explicit TemplateReader(const std::string& bytes) : bytes_(bytes) {}

  template <typename T>
  T Read() {
    T value{};
    if (offset_ + sizeof(T) > bytes_.size()) {
      overrun_ = true;
      return value;
    }
    std::memcpy(&value, bytes_.data() + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }

  // A NUL-terminated UTF-16 string.
  std::wstring String() {
    std::wstring text;
    for (wchar_t c = Read<wchar_t>(); c != L'\0' && !overrun_; c = Read<wchar_t>()) text += c;
    return text;
  }

  // An sz_Or_Ord field: none (0x0000), an ordinal (0xFFFF, value) or a string.
  struct NameOrOrdinal {
    bool none = false;
    WORD ordinal = 0;
    std::wstring name;
  };
  NameOrOrdinal NameOrOrdinalField() {
    NameOrOrdinal field;
    const size_t start = offset_;
    const WORD first = Read<WORD>();
    if (first == 0x0000) {
      field.none = true;
    } else if (first == 0xFFFF) {
      field.ordinal = Read<WORD>();
    } else {
      offset_ = start;
      field.name = String();
    }
    return field;
  }

  void AlignToDword() { offset_ = (offset_ + 3) & ~size_t{3}; }
  size_t Offset() const { return offset_; }
  bool Overrun() const { return overrun_; }

 private:
  const std::string& bytes_;
  size_t offset_ = 0;
  bool overrun_ = false;
};

// helpID and exStyle (both zero) and the style, as the template and each item have them.
void ExpectStyle(TemplateReader& reader, const std::string& what, const char* style, const char* styleBits) {
  EXPECT_EQ(reader.Read<DWORD>(), 0u) << what << "helpID";
  EXPECT_EQ(reader.Read<DWORD>(), 0u) << what << "exStyle";
  EXPECT_EQ(Hex(reader.Read<DWORD>()), style) << what << "style: " << styleBits;
}

// x, y, cx and cy, in dialog units.
void ExpectPlace(TemplateReader& reader, const std::string& what, const short (&place)[4]) {
  const char* const names[] = {"x", "y", "cx", "cy"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(reader.Read<short>(), place[i]) << what << names[i];
}

}  // namespace

TEST_F(ProductImage, VersionBlockHasOneChineseUtf16TableWithTheProductTexts) {
  const std::wstring path = ProductPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  struct Translation {
    WORD language;
    WORD codePage;
  };
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, sizeof(Translation)) << "exactly one translation";
  const auto* translation = static_cast<const Translation*>(value);
  EXPECT_EQ(translation->language, LANG_CHINESE_PRC_ID);
  EXPECT_EQ(translation->codePage, CODE_PAGE_UTF16);

  auto text = [&](const wchar_t* name) -> std::wstring {
    void* found = nullptr;
    UINT chars = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), &found, &chars) || found == nullptr) return L"<missing>";
    return static_cast<const wchar_t*>(found);
  };
  EXPECT_EQ(text(L"FileDescription"), L"VarnockFWUpdate");
  EXPECT_EQ(text(L"FileVersion"), L"" VARNOCK_VERSION);
  EXPECT_EQ(text(L"InternalName"), L"VarnockFWUpdate.exe");
  EXPECT_EQ(text(L"OriginalFilename"), L"VarnockFWUpdate.exe");
  EXPECT_EQ(text(L"ProductName"), L"Update FW Of Varnock");
  EXPECT_EQ(text(L"ProductVersion"), L"" VARNOCK_VERSION);
  for (const wchar_t* name : {L"CompanyName", L"LegalCopyright"}) {
    const std::wstring held = text(name);
    EXPECT_NE(held, L"<missing>") << testsupport::Utf8(name);
    EXPECT_FALSE(held.empty()) << testsupport::Utf8(name);
  }
  // No English table beside the Chinese one.
  void* english = nullptr;
  UINT englishLength = 0;
  EXPECT_FALSE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileDescription", &english, &englishLength));

  void* fixedValue = nullptr;
  UINT fixedLength = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &fixedValue, &fixedLength));
  ASSERT_GE(fixedLength, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(fixedValue);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  // The four numbers of the one version, high and low word each.
  constexpr DWORD versionMS = (VARNOCK_VERSION_MAJOR << 16) | VARNOCK_VERSION_MINOR;
  constexpr DWORD versionLS = (VARNOCK_VERSION_PATCH << 16) | VARNOCK_VERSION_TWEAK;
  EXPECT_EQ(fixed->dwFileVersionMS, versionMS);
  EXPECT_EQ(fixed->dwFileVersionLS, versionLS);
  EXPECT_EQ(fixed->dwProductVersionMS, versionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, versionLS);
}

namespace {

// The value of attribute `name` inside the first `<element ...>` tag of the XML text.
std::string AttributeOf(const std::string& xml, const std::string& element, const std::string& name) {
  const size_t tag = xml.find("<" + element);
  if (tag == std::string::npos) return "<no element>";
  const size_t tagEnd = xml.find('>', tag);
  const std::string inside = xml.substr(tag, tagEnd - tag);
  const size_t attribute = inside.find(" " + name + "=\"");
  if (attribute == std::string::npos) return "<no attribute>";
  const size_t valueStart = attribute + name.size() + 3;
  return inside.substr(valueStart, inside.find('"', valueStart) - valueStart);
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

TEST_F(ProductImage, ManifestRunsAsInvokerWithCommonControls6AndNoDpiAwareness) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(manifest.empty()) << "no RT_MANIFEST 1";
  // The program's own identity (the first one) carries the one version.
  EXPECT_EQ(AttributeOf(manifest, "assemblyIdentity", "version"), VARNOCK_VERSION);
  EXPECT_EQ(Occurrences(manifest, "<requestedExecutionLevel"), 1u);
  EXPECT_EQ(AttributeOf(manifest, "requestedExecutionLevel", "level"), "asInvoker");
  EXPECT_EQ(AttributeOf(manifest, "requestedExecutionLevel", "uiAccess"), "false");

  const size_t dependency = manifest.find("<dependentAssembly");
  ASSERT_NE(dependency, std::string::npos);
  const std::string dependent = manifest.substr(dependency);
  EXPECT_EQ(AttributeOf(dependent, "assemblyIdentity", "name"), "Microsoft.Windows.Common-Controls");
  EXPECT_EQ(AttributeOf(dependent, "assemblyIdentity", "version"), "6.0.0.0");
  EXPECT_EQ(AttributeOf(dependent, "assemblyIdentity", "type"), "win32");

  EXPECT_EQ(manifest.find("dpiAware"), std::string::npos) << "declares DPI awareness";
  EXPECT_EQ(manifest.find("<application"), std::string::npos) << "an application/windowsSettings block";
  // Windows takes id 1 for an exe; a second manifest would only confuse.
  EXPECT_TRUE(Resource(RT_MANIFEST, MAKEINTRESOURCEW(2)).empty());
}

TEST_F(ProductImage, WaitDialogTemplateIsExactlyAsDesigned) {
  EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEW(DIALOG_ID)), (std::vector<WORD>{LANG_CHINESE_PRC_ID}));

  const std::string bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(DIALOG_ID));
  ASSERT_FALSE(bytes.empty()) << "no dialog 102";
  TemplateReader reader(bytes);

  // DLGTEMPLATEEX header.
  EXPECT_EQ(reader.Read<WORD>(), 1) << "dlgVer";
  EXPECT_EQ(reader.Read<WORD>(), 0xFFFF) << "signature";
  ExpectStyle(reader, "", "0x80800048", "WS_POPUP | WS_BORDER | DS_SETFONT | DS_FIXEDSYS");
  EXPECT_EQ(reader.Read<WORD>(), 5) << "cDlgItems";
  ExpectPlace(reader, "", {0, 0, 310, 140});
  EXPECT_TRUE(reader.NameOrOrdinalField().none) << "menu";
  EXPECT_TRUE(reader.NameOrOrdinalField().none) << "window class";
  EXPECT_EQ(reader.String(), L"") << "title";
  EXPECT_EQ(reader.Read<WORD>(), 8) << "pointsize";
  EXPECT_EQ(reader.Read<WORD>(), 400) << "weight";
  EXPECT_EQ(reader.Read<BYTE>(), 0) << "italic";
  EXPECT_EQ(reader.Read<BYTE>(), 1) << "charset";
  EXPECT_EQ(reader.String(), L"MS Shell Dlg") << "typeface";

  // The items, top to bottom: the sentence, the marquee bar, the elapsed
  // time, the tool's latest line (no '&' prefixes, one line) and the warning.
  struct Item {
    const char* style;
    const char* styleBits;
    short place[4];
    int id;
    const wchar_t* className;  // empty: the predefined static class
    const wchar_t* text;
  };
  const Item items[] = {
      {"0x50020000", "WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT", {31, 16, 248, 24}, TEXT_ID, L"", L"update..."},
      {"0x50000008", "WS_CHILD | WS_VISIBLE | PBS_MARQUEE", {31, 44, 248, 10}, 105, L"MSCTLS_PROGRESS32", L""},
      {"0x50020000", "WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT", {31, 60, 248, 12}, 106, L"", L"0:00"},
      {"0x5000008C", "WS_CHILD | WS_VISIBLE | SS_NOPREFIX | SS_LEFTNOWORDWRAP", {31, 76, 248, 12}, 107, L"",
       L""},
      {"0x50020000", "WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT", {31, 96, 248, 28}, 108, L"", L""},
  };
  for (const Item& item : items) {
    const std::string what = "item " + std::to_string(item.id) + " ";
    // DLGITEMTEMPLATEEX, DWORD-aligned from the start of the template.
    reader.AlignToDword();
    ExpectStyle(reader, what, item.style, item.styleBits);
    ExpectPlace(reader, what, item.place);
    EXPECT_EQ(reader.Read<DWORD>(), static_cast<DWORD>(item.id)) << what << "id";
    const TemplateReader::NameOrOrdinal itemClass = reader.NameOrOrdinalField();
    EXPECT_FALSE(itemClass.none);
    if (item.className[0] == L'\0') {
      EXPECT_TRUE(itemClass.name.empty()) << what << "class given by name: " << testsupport::Utf8(itemClass.name);
      EXPECT_EQ(itemClass.ordinal, 0x0082) << what << "the predefined static class";
    } else {
      EXPECT_EQ(itemClass.name, item.className) << what;
    }
    const TemplateReader::NameOrOrdinal itemText = reader.NameOrOrdinalField();
    EXPECT_EQ(itemText.name, item.text) << what;
    EXPECT_EQ(reader.Read<WORD>(), 0) << what << "extraCount: no creation data";
  }

  ASSERT_FALSE(reader.Overrun()) << "template shorter than its fields";
  // Nothing follows the last item but alignment padding.
  EXPECT_LT(bytes.size() - reader.Offset(), 4u) << "trailing bytes after the items";
}

TEST_F(ProductImage, WaitDialogTemplateBuildsACaptionlessDialogWithItsStatic) {
  HWND dialog = CreateDialogParamW(
      module_, MAKEINTRESOURCEW(DIALOG_ID), nullptr,
      [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_INITDIALOG; }, 0);
  ASSERT_NE(dialog, nullptr) << "the template does not load, error " << GetLastError();
  const LONG style = GetWindowLongW(dialog, GWL_STYLE);
  EXPECT_NE(style & WS_POPUP, 0);
  EXPECT_NE(style & WS_BORDER, 0);
  EXPECT_NE((style & WS_CAPTION), WS_CAPTION) << "has a caption";
  EXPECT_EQ(style & WS_SYSMENU, 0) << "has a close box";
  EXPECT_EQ(testsupport::WindowText(dialog), L"");

  HWND text = GetDlgItem(dialog, TEXT_ID);
  ASSERT_NE(text, nullptr);
  const std::wstring className = testsupport::ClassName(text);
  EXPECT_EQ(_wcsicmp(className.c_str(), L"Static"), 0) << testsupport::Utf8(className);
  EXPECT_EQ(testsupport::WindowText(text), L"update...");
  // The first child; after it no buttons, only the bar and the other statics.
  EXPECT_EQ(GetWindow(dialog, GW_CHILD), text);
  for (HWND child = GetWindow(text, GW_HWNDNEXT); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring childClass = testsupport::ClassName(child);
    EXPECT_TRUE(_wcsicmp(childClass.c_str(), L"Static") == 0 || _wcsicmp(childClass.c_str(), PROGRESS_CLASSW) == 0)
        << testsupport::Utf8(childClass);
  }
  DestroyWindow(dialog);
}

// The wait box's texts in both languages, laid out from the product's own
// template at 96 DPI and as at 120 DPI: the template's 8-point font is
// 13.3 pixels high at 120 DPI, as a 10-point font is at 96, and dialog units
// follow the font. Every static must hold its text, wrapped as it draws.
TEST_F(ProductImage, WaitDialogTextsFitInBothLanguagesAt96And120Dpi) {
  std::string bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(DIALOG_ID));
  // The point size follows the fixed header, the (absent) menu and class and
  // the empty title, as the byte-by-byte test above checks.
  constexpr size_t POINT_SIZE_OFFSET = 32;
  ASSERT_GT(bytes.size(), POINT_SIZE_OFFSET + 2);
  WORD points = 0;
  std::memcpy(&points, bytes.data() + POINT_SIZE_OFFSET, sizeof(points));
  ASSERT_EQ(points, 8);
  struct Case {
    const char* what;
    WORD points;
    UiLanguage language;
  };
  const Case cases[] = {{"96 DPI, Chinese", 8, UiLanguage::Chinese},
                        {"96 DPI, English", 8, UiLanguage::English},
                        {"120 DPI, Chinese", 10, UiLanguage::Chinese},
                        {"120 DPI, English", 10, UiLanguage::English}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memcpy(bytes.data() + POINT_SIZE_OFFSET, &c.points, sizeof(c.points));
    HWND dialog = CreateDialogIndirectParamW(
        module_, reinterpret_cast<const DLGTEMPLATE*>(bytes.data()), nullptr,
        [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_INITDIALOG; }, 0);
    ASSERT_NE(dialog, nullptr) << "error " << GetLastError();
    const struct {
      int id;
      std::wstring text;
      UINT wrap;
    } statics[] = {{TEXT_ID, TXT_WAIT_UPDATING.In(c.language), DT_WORDBREAK},
                   {IDC_WAIT_ELAPSED, L"10:59:59", DT_SINGLELINE},
                   {IDC_WAIT_WARNING, TXT_WAIT_WARNING.In(c.language), DT_WORDBREAK}};
    for (const auto& item : statics) {
      HWND control = GetDlgItem(dialog, item.id);
      ASSERT_NE(control, nullptr) << item.id;
      RECT client{};
      GetClientRect(control, &client);
      HDC dc = GetDC(control);
      const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
      RECT need{0, 0, client.right, 0};
      DrawTextW(dc, item.text.c_str(), -1, &need, DT_CALCRECT | DT_NOPREFIX | item.wrap);
      SelectObject(dc, previous);
      ReleaseDC(control, dc);
      EXPECT_LE(need.right, client.right) << "control " << item.id << " too narrow";
      EXPECT_LE(need.bottom, client.bottom) << "control " << item.id << " too low: needs " << need.bottom << ", has "
                                            << client.bottom;
    }
    // The controls stay inside the box and do not overlap.
    RECT box{};
    GetClientRect(dialog, &box);
    RECT above{};
    for (const int id : {TEXT_ID, IDC_WAIT_PROGRESS, IDC_WAIT_ELAPSED, IDC_WAIT_OUTPUT, IDC_WAIT_WARNING}) {
      RECT place{};
      GetWindowRect(GetDlgItem(dialog, id), &place);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
      EXPECT_TRUE(place.left >= 0 && place.right <= box.right && place.bottom <= box.bottom) << "control " << id;
      EXPECT_GE(place.top, above.bottom) << "control " << id << " overlaps the one above";
      above = place;
    }
    DestroyWindow(dialog);
  }
}

TEST_F(ProductImage, Icon101HoldsEachSizeTheShellAsksFor) {
  // The icon directory as the file holds it: Windows scales the nearest
  // image to any size asked for, so only the directory tells which sizes
  // were drawn (16 for the title bar and taskbar, 32 for Alt+Tab, 48 for
  // the folder view).
  const std::string directory = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(ICON_ID));
  constexpr size_t HEADER = 6, ENTRY = 14;
  ASSERT_GE(directory.size(), HEADER);
  WORD reserved = 0, type = 0, count = 0;
  std::memcpy(&reserved, directory.data(), 2);
  std::memcpy(&type, directory.data() + 2, 2);
  std::memcpy(&count, directory.data() + 4, 2);
  EXPECT_EQ(reserved, 0);
  EXPECT_EQ(type, 1) << "an icon, not a cursor";
  ASSERT_EQ(directory.size(), HEADER + ENTRY * count);
  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    const char* entry = directory.data() + HEADER + ENTRY * i;
    const int width = static_cast<BYTE>(entry[0]) == 0 ? 256 : static_cast<BYTE>(entry[0]);
    const int height = static_cast<BYTE>(entry[1]) == 0 ? 256 : static_cast<BYTE>(entry[1]);
    WORD bitCount = 0, id = 0;
    DWORD bytes = 0;
    std::memcpy(&bitCount, entry + 6, 2);
    std::memcpy(&bytes, entry + 8, 4);
    std::memcpy(&id, entry + 12, 2);
    EXPECT_EQ(width, height);
    EXPECT_EQ(bitCount, 32) << "size " << width;
    sizes.push_back(width);
    // The image the entry names is there, as long as it says, and draws at its own size.
    std::string image = Resource(RT_ICON, MAKEINTRESOURCEW(id));
    ASSERT_EQ(image.size(), bytes) << "size " << width;
    HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(image.data()), bytes, TRUE, 0x00030000, 0, 0,
                                          LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << "size " << width << ", error " << GetLastError();
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    EXPECT_TRUE(info.fIcon);
    EXPECT_NE(info.hbmColor, nullptr) << "a colour icon";
    BITMAP bitmap{};
    if (info.hbmColor != nullptr) {
      GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
      EXPECT_EQ(bitmap.bmWidth, width);
      EXPECT_EQ(bitmap.bmHeight, width);
      DeleteObject(info.hbmColor);
    }
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48}));
  // The sizes the system asks for are among them.
  for (int size : {GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CXSMICON)}) {
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), size), sizes.end()) << size;
  }
}
