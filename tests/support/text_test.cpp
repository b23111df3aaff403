#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/encoding.h"
#include "support/fields.h"
#include "support/paths.h"
#include "tests/test_support.h"

TEST(DirectoryOf, CutsAfterTheLaterSeparator) {
    EXPECT_EQ(DirectoryOf(L"C:\\a/b\\c.txt"), L"C:\\a/b\\");
    EXPECT_EQ(DirectoryOf(L"C:\\a\\b/c"), L"C:\\a\\b/");
    EXPECT_EQ(DirectoryOf(L"file.txt"), L"file.txt");
    EXPECT_EQ(DirectoryOf(L"C:\\dir\\"), L"C:\\dir\\");
    EXPECT_EQ(DirectoryOf(L""), L"");
}

TEST(DirectoryOf, NullStandsForTheRunningExecutable) {
    const std::wstring directory = DirectoryOf(nullptr);
    EXPECT_EQ(directory, BinDir());
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), L'\\');
}

TEST(JoinPath, SeparatorRules) {
    EXPECT_EQ(JoinPath(L"C:\\", L"\\x"), L"C:\\x");
    EXPECT_EQ(JoinPath(L"C:/", L"|x"), L"C:/x");
    EXPECT_EQ(JoinPath(L"C:\\", L"x"), L"C:\\x");
    EXPECT_EQ(JoinPath(L"C:\\d\\", L"\\x"), L"C:\\d\\\\x");
    EXPECT_EQ(JoinPath(L"C:\\d", L"x"), L"C:\\d\\x");
    EXPECT_EQ(JoinPath(L"C:\\d|", L"x"), L"C:\\d|x");
    EXPECT_EQ(JoinPath(L"C:\\d", L"/x"), L"C:\\d/x");
    EXPECT_EQ(JoinPath(L"", L"x"), L"\\x");
    EXPECT_EQ(JoinPath(L"", L"\\x"), L"\\\\x");
}

TEST(JoinPath, RefusesAnEmptyNameOrAColon) {
    EXPECT_EQ(JoinPath(L"C:\\d", L""), L"");
    EXPECT_EQ(JoinPath(L"C:\\d", L"D:\\x"), L"");
    EXPECT_EQ(JoinPath(L"C:\\d", L"a:b"), L"");
    // The drive root rule comes first.
    EXPECT_EQ(JoinPath(L"C:\\", L"\\a:b"), L"C:\\a:b");
}

TEST(ExeRelativePath, AppendsToTheExecutablesDirectory) {
    EXPECT_EQ(ExeRelativePath(L"config/config.ini"), BinDir() + L"config/config.ini");
    EXPECT_EQ(ExeRelativePath(L"comm\\file.lst"), BinDir() + L"comm\\file.lst");
    EXPECT_EQ(ExeRelativePath(L""), L"");
    EXPECT_EQ(ExeRelativePath(L"C:\\x"), L"");
}

TEST(MarkerPath, ReplacesAfterTheLastDotAnywhere) {
    EXPECT_EQ(MarkerPath(L"~tmp.bak"), L"~tmp.md5");
    EXPECT_EQ(MarkerPath(L"C:\\v.1\\file"), L"C:\\v.md5");
    EXPECT_EQ(MarkerPath(L"name"), L"namemd5");
    EXPECT_EQ(MarkerPath(L"a.b.c"), L"a.b.md5");
    EXPECT_EQ(MarkerPath(L"end."), L"end.md5");
}

TEST(AnsiConversion, AsciiRoundTrip) {
    EXPECT_EQ(AnsiToWide("ver=1.31"), L"ver=1.31");
    EXPECT_EQ(WideToAnsi(L"ver=1.31"), "ver=1.31");
    EXPECT_EQ(AnsiToWide(""), L"");
    EXPECT_EQ(WideToAnsi(L""), "");
    // Taken as a C string: up to the first NUL.
    EXPECT_EQ(AnsiToWide(std::string("ab\0cd", 5)), L"ab");
}

TEST(AnsiConversion, FollowsTheSystemCodePage) {
    if (GetACP() == 936) {
        // Simplified Chinese: GBK bytes both ways.
        EXPECT_EQ(WideToAnsi(L"中文"), "\xD6\xD0\xCE\xC4");
        EXPECT_EQ(AnsiToWide("\xD6\xD0\xCE\xC4"), L"中文");
        const std::wstring text = L"读取配对文件行 ver=1.0 更新";
        EXPECT_EQ(AnsiToWide(WideToAnsi(text)), text);
    } else {
        ASSERT_EQ(GetACP(), 1252u);
        EXPECT_EQ(WideToAnsi(L"caf\u00E9"), "caf\xE9");
        EXPECT_EQ(AnsiToWide("caf\xE9"), L"caf\u00E9");
        // A character the code page lacks becomes the default character.
        EXPECT_EQ(WideToAnsi(L"中"), "?");
    }
}

TEST(WideToUtf8, EncodesEachUnitOnItsOwn) {
    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(WideToUtf8(L"A"), "A");
    EXPECT_EQ(WideToUtf8(L"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(WideToUtf8(L"\u07FF\u0800"), "\xDF\xBF\xE0\xA0\x80");
    EXPECT_EQ(WideToUtf8(L"中"), "\xE4\xB8\xAD");
    // A surrogate pair gives two three-byte sequences.
    const wchar_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(WideToUtf8(pair), "\xED\xA0\xBD\xED\xB8\x80");
}

TEST(Utf8ToWide, DecodesWithThePlatform) {
    EXPECT_EQ(Utf8ToWide("\xE4\xB8\xAD.exe"), L"中.exe");
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(EncodeUrlPath, EscapesOutsideDotToDel) {
    EXPECT_EQ(EncodeUrlPath("/update/1.0/a b.exe"), "/update/1.0/a%20b.exe");
    EXPECT_EQ(EncodeUrlPath("a&b-c,d"), "a%26b%2Dc%2Cd");
    EXPECT_EQ(EncodeUrlPath("http://h/p?x=1"), "http://h/p?x=1");
    EXPECT_EQ(EncodeUrlPath(""), "");
}

TEST(EncodeUrlPath, NonAsciiNameAsUtf8Escapes) {
    if (GetACP() == 936) {
        EXPECT_EQ(EncodeUrlPath(WideToAnsi(L"/update/1.0/中文 版.exe")),
                  "/update/1.0/%E4%B8%AD%E6%96%87%20%E7%89%88.exe");
    } else {
        EXPECT_EQ(EncodeUrlPath("/caf\xE9.txt"), "/caf%C3%A9.txt");
    }
}

TEST(SplitFields, OneCharacterSeparatorCollapsesRuns) {
    struct Case {
        const char* text;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"a=b", {"a", "b"}}, {"a==b", {"a", "b"}},        {"=b", {"b"}},
        {"a=", {"a"}},       {"a=b=c", {"a", "b", "c"}},  {"", {}},
        {"===", {}},         {" a = b ", {" a ", " b "}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> fields;
        EXPECT_EQ(SplitFields(c.text, fields, "="), c.fields.size()) << c.text;
        EXPECT_EQ(fields, c.fields) << c.text;
    }
}

TEST(SplitFields, TwoCharacterSeparator) {
    std::vector<std::string> fields;
    EXPECT_EQ(SplitFields("x==y", fields, "=="), 2u);
    EXPECT_EQ(fields, (std::vector<std::string>{"x", "y"}));
    fields.clear();
    EXPECT_EQ(SplitFields("a, b,,c", fields, ", "), 2u);
    EXPECT_EQ(fields, (std::vector<std::string>{"a", "b,,c"}));
    fields.clear();
    // A lone "=" is no separator here.
    EXPECT_EQ(SplitFields("a=b==c", fields, "=="), 2u);
    EXPECT_EQ(fields, (std::vector<std::string>{"a=b", "c"}));
}

TEST(SplitFields, ByteFFInTheText) {
    std::vector<std::string> fields;
    // With a long separator the byte 0xFF splits like the separator itself.
    EXPECT_EQ(SplitFields("a\xFF"
                          "b::c",
                          fields, "::"),
              3u);
    EXPECT_EQ(fields, (std::vector<std::string>{"a", "b", "c"}));
    fields.clear();
    // With a one-character separator it is an ordinary byte.
    EXPECT_EQ(SplitFields("a\xFF"
                          "b=c",
                          fields, "="),
              2u);
    EXPECT_EQ(fields, (std::vector<std::string>{"a\xFF"
                                                "b",
                                                "c"}));
}

TEST(SplitFields, AppendsToTheList) {
    std::vector<std::string> fields = {"kept"};
    EXPECT_EQ(SplitFields("a=b", fields, "="), 3u);
    EXPECT_EQ(fields.front(), "kept");
}

TEST(SplitFields, WideFormBehavesAlike) {
    std::vector<std::wstring> fields;
    EXPECT_EQ(SplitFields(L"中==文=x", fields, L"="), 3u);
    EXPECT_EQ(fields, (std::vector<std::wstring>{L"中", L"文", L"x"}));
    fields.clear();
    EXPECT_EQ(SplitFields(L"a\u00FF"
                          L"b||c",
                          fields, L"||"),
              3u);
    EXPECT_EQ(fields, (std::vector<std::wstring>{L"a", L"b", L"c"}));
    fields.clear();
    EXPECT_EQ(SplitFields(L"", fields, L"="), 0u);
}
