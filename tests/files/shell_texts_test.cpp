#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "support/shell_texts.h"
#include "engine/file_downloads.h"
#include "engine/file_list.h"
#include "support/paths.h"

namespace {

bool EnvironmentIsChinese() {
    const char* lang = getenv("LC_ALL");
    if (lang == nullptr || *lang == '\0') lang = getenv("LANG");
    return lang != nullptr && std::string(lang).rfind("zh_", 0) == 0;
}

}  // namespace

TEST(LanguageRule, LowByteFourIsChinese) {
    EXPECT_TRUE(IsChineseLanguage(0x0404));
    EXPECT_TRUE(IsChineseLanguage(0x0804));
    EXPECT_TRUE(IsChineseLanguage(0x1004));
    EXPECT_FALSE(IsChineseLanguage(0x0409));
    EXPECT_FALSE(IsChineseLanguage(0x0411));
}

TEST(LanguageRule, FlagFollowsTheSystemLanguage) {
    EXPECT_EQ(EnvironmentIsChinese(), UseChineseTexts);
    EXPECT_EQ(std::wstring(L"0.0"), InstalledVersion);
}

TEST(ShellTexts, TableInBothLanguages) {
    EXPECT_STREQ(L"Updating, Please wait...", ShellMessageText(MSG_UPDATING, false));
    EXPECT_STREQ(L"正在更新中, 请稍等...", ShellMessageText(MSG_UPDATING, true));
    EXPECT_STREQ(
        L"Veldra auto update toolsv1.31, current version %s. trying update to version "
        L"%.2f.",
        ShellMessageText(MSG_START_UPDATE, false));
    EXPECT_STREQ(L"Veldra图动升级工具v1.31  本地图纸版本:%s, 正在更新的图纸版本%.2f",
                 ShellMessageText(MSG_START_UPDATE, true));
    // Without a language given, the system's.
    EXPECT_STREQ(EnvironmentIsChinese()
                     ? L"Veldra图纸升级工具v1.31 本地版本: %s, 服务器版本:%.2f"
                     : L"Veldra auto update tools v1.31, location version %s. Latest version %.2f",
                 ShellMessageText(MSG_CAPTION));
}

TEST(ShellTexts, CaptionWithVersions) {
    std::wstring caption = FormatVersionMessage(MSG_CAPTION, L"1.31.5", 1.32);
    if (UseChineseTexts) {
        EXPECT_EQ(L"Veldra图纸升级工具v1.31 本地版本: 1.31.5, 服务器版本:1.32", caption);
    } else {
        EXPECT_EQ(L"Veldra auto update tools v1.31, location version 1.31.5. Latest version 1.32",
                  caption);
    }
}

TEST(ShellTexts, LongInstalledVersionIsCut) {
    std::wstring installed(1000, L'9');
    std::wstring text = FormatVersionMessage(MSG_START_UPDATE, installed, 2.0);
    EXPECT_EQ(255u, text.size());
    std::wstring format = ShellMessageText(MSG_START_UPDATE);
    EXPECT_EQ(format.substr(0, format.find(L"%s")), text.substr(0, format.find(L"%s")));
}

TEST(VersionDirectoryRule, CutToOneDecimal) {
    auto printed = [](float version) {
        char text[32] = {};
        _snprintf_s(text, sizeof(text), _TRUNCATE, "%.1f", VersionDirectory(version));
        return std::string(text);
    };
    EXPECT_EQ("1.3", printed(1.35f));
    EXPECT_EQ("1.3", printed(1.31f));
    EXPECT_EQ("1.3", printed(1.39f));
    EXPECT_EQ("2.0", printed(2.0f));
    EXPECT_EQ("0.0", printed(0.0f));
    EXPECT_EQ(static_cast<double>(1.3f), VersionDirectory(1.35f));
}

TEST(ContainsNoCaseSearch, AsciiLettersIgnoreCase) {
    const wchar_t* text = L"C:\\App\\Dlls\\x.bin";
    EXPECT_EQ(text + 7, ContainsNoCase(text, L"DLL"));
    EXPECT_EQ(text, ContainsNoCase(text, L"c:\\app"));
    EXPECT_EQ(nullptr, ContainsNoCase(text, L"dllx"));
    EXPECT_EQ(nullptr, ContainsNoCase(L"\u00C9t\u00E9", L"\u00E9T\u00C9"));
    EXPECT_NE(nullptr, ContainsNoCase(L"\u00C9t\u00E9", L"\u00C9T\u00E9"));
    EXPECT_EQ(nullptr, ContainsNoCase(nullptr, L"a"));
    EXPECT_EQ(nullptr, ContainsNoCase(L"", L""));
    EXPECT_EQ(text, ContainsNoCase(text, L""));
    EXPECT_EQ(nullptr, ContainsNoCase(L"ab", L"abc"));
}

TEST(ReplaceAllText, InsertedTextIsNotSearchedAgain) {
    std::wstring path = L"/update/1.3/bin\\sub\\x.dll";
    ReplaceAll(path, L"\\", L"/");
    EXPECT_EQ(L"/update/1.3/bin/sub/x.dll", path);
    std::wstring doubled = L"a-a";
    ReplaceAll(doubled, L"a", L"aa");
    EXPECT_EQ(L"aa-aa", doubled);
    std::wstring unchanged = L"abc";
    ReplaceAll(unchanged, L"", L"x");
    EXPECT_EQ(L"abc", unchanged);
}

TEST(SafeRelativePath, StaysBelowTheProductDirectory) {
    for (const wchar_t* path :
         {L"bin\\x.dll", L"a/b/c.txt", L"..foo", L"a..b/c", L"file/x.txt", L"./x", L"bin\\.hidden",
          L"\\x", L"/x", L"\\\\server\\share\\x", L"//x"}) {
        EXPECT_TRUE(IsSafeRelativePath(path)) << std::wstring(path).size();
    }
    for (const wchar_t* path : {L"", L"..", L"..\\x", L"a/../../x", L"a\\..", L"C:\\x", L"C:x",
                                L"a:b", L"a/.../x", L"a/.. /x", L"a|..|x", L"x.txt:stream"}) {
        EXPECT_FALSE(IsSafeRelativePath(path)) << std::wstring(path).size();
    }
    const std::wstring app = L"C:\\App\\";
    for (const wchar_t* path : {L"C:\\App\\x", L"C:\\App\\/x", L"C:\\App\\\\\\host\\share\\x",
                                L"c:\\app\\sub\\x", L"C:\\App\\sub\\.\\x"}) {
        EXPECT_TRUE(LiesBelow(app, path)) << std::wstring(path).size();
    }
    for (const wchar_t* path : {L"C:\\App", L"C:\\App\\", L"C:\\Apple\\x", L"C:\\App\\..\\x",
                                L"C:\\App\\sub\\..\\..\\x", L"D:\\App\\x"}) {
        EXPECT_FALSE(LiesBelow(app, path)) << std::wstring(path).size();
    }
    // The updater's own files, in whatever spelling a list gives them.
    for (const wchar_t* path :
         {L"~tmp.bak", L"~TMP.MD5", L".\\~tmp.bak", L"\\~tmp.bak", L"~tmp.bak.", L"~tmp.bak ",
          L"comm\\file.lst", L"Comm/File.LST", L"comm\\.\\delta.lst", L"comm\\file.lst. .",
          L"comm\\release.txt", L"~tmp.new", L"sub\\~tmp.1a-2b-3c.new", L"~TMP.x.NEW"}) {
        EXPECT_TRUE(IsUpdaterOwnFile(app, JoinPath(app, path))) << std::wstring(path).size();
    }
    for (const wchar_t* path : {L"~tmp.bak2", L"sub\\~tmp.bak", L"comm2\\file.lst",
                                L"comm\\file.lst2", L"a.new", L"~tmp"}) {
        EXPECT_FALSE(IsUpdaterOwnFile(app, JoinPath(app, path))) << std::wstring(path).size();
    }
}
