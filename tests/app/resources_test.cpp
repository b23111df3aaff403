// The resources compiled into veldraupdate.exe, read back from the file.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/shell_texts.h"
#include "tests/test_support.h"

namespace {

struct Control {
    int id;
    std::wstring kind;
    std::wstring text;
    short x, y, cx, cy;
    DWORD style;
};

struct Template {
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu, windowClass, title, font;
    WORD pointSize = 0;
    std::vector<Control> controls;
};

constexpr DWORD BUTTON = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD EXIT_BUTTON = BUTTON | WS_DISABLED | WS_GROUP;
constexpr DWORD EDIT = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD STATIC_TEXT = WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP;
constexpr DWORD DIALOG_STYLE =
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;

// Reads a name-or-ordinal field: an ordinal comes back as "#N".
std::wstring NameOrOrdinal(const WORD*& at) {
    if (*at == 0xFFFF) {
        const std::wstring ordinal = L"#" + std::to_wstring(at[1]);
        at += 2;
        return ordinal;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(at));
    at += text.size() + 1;
    return text;
}

// The predefined classes, by ordinal or by name in any case.
std::wstring ClassName(const std::wstring& field) {
    for (const auto& [ordinal, name] :
         {std::pair{L"#128", L"Button"}, {L"#129", L"Edit"}, {L"#130", L"Static"}}) {
        if (field == ordinal || _wcsicmp(field.c_str(), name) == 0) return name;
    }
    return field;
}

const WORD* AlignDword(const WORD* at, const BYTE* base) {
    const size_t offset = reinterpret_cast<const BYTE*>(at) - base;
    return reinterpret_cast<const WORD*>(base + ((offset + 3) & ~size_t{3}));
}

// Parses an extended dialog template.
bool ParseTemplate(const BYTE* data, DWORD size, Template& parsed) {
    const WORD* at = reinterpret_cast<const WORD*>(data);
    if (size < 26 || at[0] != 1 || at[1] != 0xFFFF) return false;
    const DWORD* dwords = reinterpret_cast<const DWORD*>(data + 4);
    parsed.style = dwords[2];
    at = reinterpret_cast<const WORD*>(data + 16);
    const WORD count = *at++;
    const short* box = reinterpret_cast<const short*>(at);
    parsed.x = box[0], parsed.y = box[1], parsed.cx = box[2], parsed.cy = box[3];
    at += 4;
    parsed.menu = NameOrOrdinal(at);
    parsed.windowClass = NameOrOrdinal(at);
    parsed.title = NameOrOrdinal(at);
    parsed.pointSize = at[0];
    at += 3;  // point size, weight, italic and charset
    parsed.font = NameOrOrdinal(at);
    for (WORD item = 0; item < count; ++item) {
        at = AlignDword(at, data);
        const DWORD* header = reinterpret_cast<const DWORD*>(at);
        Control control{};
        control.style = header[2];
        const short* place = reinterpret_cast<const short*>(header + 3);
        control.x = place[0], control.y = place[1], control.cx = place[2], control.cy = place[3];
        control.id = static_cast<int>(*reinterpret_cast<const LONG*>(place + 4));
        at = reinterpret_cast<const WORD*>(place + 6);
        control.kind = ClassName(NameOrOrdinal(at));
        control.text = NameOrOrdinal(at);
        const WORD extra = *at++;
        at = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(at) + extra);
        if (reinterpret_cast<const BYTE*>(at) > data + size) return false;
        parsed.controls.push_back(control);
    }
    return true;
}

class Resources : public ::testing::Test {
  protected:
    void SetUp() override {
        module = LoadLibraryExW((BinDir() + L"veldraupdate.exe").c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override {
        if (module != nullptr) FreeLibrary(module);
    }

    Template DialogOf(WORD language) {
        Template parsed;
        HRSRC found = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN), language);
        EXPECT_NE(found, nullptr);
        if (found == nullptr) return parsed;
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
        EXPECT_TRUE(ParseTemplate(data, SizeofResource(module, found), parsed));
        return parsed;
    }

    HMODULE module = nullptr;
};

void ExpectControls(const std::vector<Control>& actual, const std::vector<Control>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(actual[i].id, expected[i].id);
        EXPECT_EQ(actual[i].kind, expected[i].kind);
        EXPECT_EQ(actual[i].text, expected[i].text);
        EXPECT_EQ(actual[i].x, expected[i].x);
        EXPECT_EQ(actual[i].y, expected[i].y);
        EXPECT_EQ(actual[i].cx, expected[i].cx);
        EXPECT_EQ(actual[i].cy, expected[i].cy);
        EXPECT_EQ(actual[i].style, expected[i].style);
    }
}

TEST_F(Resources, EnglishDialogTemplate) {
    const Template dialog = DialogOf(MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL));
    EXPECT_EQ(dialog.style, DIALOG_STYLE);
    EXPECT_EQ(dialog.cx, 365);
    EXPECT_EQ(dialog.cy, 118);
    EXPECT_EQ(dialog.title, L"Veldra Setup V1.30");
    EXPECT_EQ(dialog.menu, L"");
    EXPECT_EQ(dialog.windowClass, L"");
    EXPECT_EQ(dialog.font, L"MS Shell Dlg");
    EXPECT_EQ(dialog.pointSize, 9);
    ExpectControls(dialog.controls,
                   {{IDC_START, L"Button", L"Start Update", 140, 71, 75, 18, BUTTON},
                    {IDC_PATH, L"Edit", L"", 61, 41, 236, 16, EDIT},
                    {IDC_BROWSE, L"Button", L"...", 305, 42, 29, 14, BUTTON},
                    {IDOK, L"Button", L"Exit", 253, 71, 62, 18, EXIT_BUTTON},
                    {IDC_STATUS, L"Static", L"", 7, 7, 351, 25, STATIC_TEXT},
                    {IDC_DOWNLOAD_PACKAGE, L"Button", L"Download package", 24, 71, 75, 18, BUTTON},
                    {-1, L"Static", L"Path", 18, 43, 15, 8, STATIC_TEXT}});
}

TEST_F(Resources, ChineseDialogTemplate) {
    const Template dialog = DialogOf(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    EXPECT_EQ(dialog.style, DIALOG_STYLE);
    EXPECT_EQ(dialog.cx, 363);
    EXPECT_EQ(dialog.cy, 119);
    EXPECT_EQ(dialog.title, L"Veldra图纸---升级工具.V1.31");
    EXPECT_EQ(dialog.menu, L"");
    EXPECT_EQ(dialog.windowClass, L"");
    EXPECT_EQ(dialog.font, L"MS Shell Dlg");
    EXPECT_EQ(dialog.pointSize, 9);
    ExpectControls(dialog.controls,
                   {{IDC_START, L"Button", L"开始升级", 151, 69, 60, 22, BUTTON},
                    {IDC_BROWSE, L"Button", L"...", 306, 39, 29, 14, BUTTON},
                    {IDC_PATH, L"Edit", L"", 62, 39, 236, 16, EDIT},
                    {IDC_DOWNLOAD_PACKAGE, L"Button", L"下载整包", 43, 69, 60, 22, BUTTON},
                    {IDOK, L"Button", L"退出升级", 259, 69, 60, 22, EXIT_BUTTON},
                    {IDC_STATUS, L"Static", L"", 11, 7, 345, 27, STATIC_TEXT},
                    {-1, L"Static", L"安装路径:", 19, 41, 32, 12, STATIC_TEXT}});
}

TEST_F(Resources, ManifestIconAndVersion) {
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                           SizeofResource(module, manifest));
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(text.find("dpiAware"), std::string::npos);
    EXPECT_NE(text.find("supportedOS"), std::string::npos);
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);

    const std::wstring path = BinDir() + L"veldraupdate.exe";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 1);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 31);
}

}  // namespace
