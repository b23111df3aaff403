#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/map_txt_file.h"
#include "support/unique_handle.h"
#include "tests/test_support.h"

namespace {

// The diagnostic's format in GBK bytes on every system (the test runs as an
// English and as a Chinese one): 读取配对文件行(%d):%s出现问题, 跳过
const std::string DIAGNOSTIC_GBK =
    "\xB6\xC1\xC8\xA1\xC5\xE4\xB6\xD4\xCE\xC4\xBC\xFE\xD0\xD0(%d):%s"
    "\xB3\xF6\xCF\xD6\xCE\xCA\xCC\xE2, \xCC\xF8\xB9\xFD";

std::string DiagnosticOf(int line, const std::string& text) {
    const std::string& message = DIAGNOSTIC_GBK;
    char formatted[512] = {};
    _snprintf_s(formatted, sizeof(formatted), _TRUNCATE, message.c_str(), line, text.c_str());
    return std::string("Erro**:\t") + formatted + "\r\n";
}

std::string LoadAndSave(const std::string& content) {
    const std::wstring dir = MakeTempDir(L"map");
    WriteBytes(dir + L"config.ini", content);
    { CMapTxtFileA file(dir + L"config.ini"); }
    std::string saved = ReadBytes(dir + L"config.ini");
    RemoveTree(dir);
    return saved;
}

}  // namespace

TEST(MapTxtFile, SavesNormalFormLastOneWins) {
    EXPECT_EQ(LoadAndSave("b=2\r\na=1\r\na=3\r\njunk\r\n"), "a=3\r\nb=2\r\n");
    EXPECT_EQ(LoadAndSave("ver=1.0\nx==y\n\n===\nkey=\n=value\nurl=a=b"), "ver=1.0\r\nx=y\r\n");
    EXPECT_EQ(LoadAndSave(""), "");
}

TEST(MapTxtFile, KeysInUnsignedByteOrder) {
    EXPECT_EQ(LoadAndSave("\xE4z=1\r\nz=2\r\nZ=3\r\nza=4\r\n"),
              "Z=3\r\nz=2\r\nza=4\r\n\xE4z=1\r\n");
}

TEST(MapTxtFile, GetValue) {
    const std::wstring dir = MakeTempDir(L"map");
    WriteBytes(dir + L"config.ini", "ver=1.31\r\n ver = 2.0 \r\nVer=3\r\n");
    {
        CMapTxtFileA file(dir + L"config.ini");
        EXPECT_EQ(file.GetValue("ver"), "1.31");
        EXPECT_EQ(file.GetValue(" ver "), " 2.0 ");
        EXPECT_EQ(file.GetValue("Ver"), "3");
        EXPECT_EQ(file.GetValue("missing"), "");
        EXPECT_EQ(file.GetValue("missing"), "");
    }
    EXPECT_EQ(ReadBytes(dir + L"config.ini"), " ver = 2.0 \r\nVer=3\r\nver=1.31\r\n");
    RemoveTree(dir);
}

TEST(MapTxtFile, SpacesBelongToKeyAndValue) {
    const std::wstring dir = MakeTempDir(L"map");
    WriteBytes(dir + L"config.ini", " ver = 1.0\r\n");
    {
        CMapTxtFileA file(dir + L"config.ini");
        EXPECT_EQ(file.GetValue("ver"), "");
        EXPECT_EQ(file.GetValue(" ver "), " 1.0");
    }
    RemoveTree(dir);
}

TEST(MapTxtFile, ByteOrderMarkBelongsToTheFirstKey) {
    const std::wstring dir = MakeTempDir(L"map");
    WriteBytes(dir + L"config.ini", "\xEF\xBB\xBFver=1.0\r\n");
    {
        CMapTxtFileA file(dir + L"config.ini");
        EXPECT_EQ(file.GetValue("ver"), "");
        EXPECT_EQ(file.GetValue("\xEF\xBB\xBFver"), "1.0");
    }
    RemoveTree(dir);
}

TEST(MapTxtFile, MissingFileGivesAnEmptyFileAtDestruction) {
    const std::wstring dir = MakeTempDir(L"map");
    {
        CMapTxtFileA file(dir + L"config.ini");
        EXPECT_EQ(file.GetValue("ver"), "");
    }
    EXPECT_TRUE(FileExists(dir + L"config.ini"));
    EXPECT_EQ(ReadBytes(dir + L"config.ini"), "");
    // No folder, no file, no failure.
    { CMapTxtFileA file(dir + L"none\\config.ini"); }
    EXPECT_FALSE(FileExists(dir + L"none"));
    RemoveTree(dir);
}

TEST(MapTxtFile, ShortPathsAreNeitherLoadedNorWritten) {
    const std::wstring dir = MakeTempDir(L"map");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    WriteBytes(dir + L"ab", "ver=1\r\n");
    std::string shortValue;
    {
        CMapTxtFileA empty(L"");
        CMapTxtFileA one(L"a");
        CMapTxtFileA two(L"ab");
        shortValue = two.GetValue("ver");
        CMapTxtFileA three(L"abc");
    }
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(shortValue, "");
    EXPECT_FALSE(FileExists(dir + L"a"));
    EXPECT_EQ(ReadBytes(dir + L"ab"), "ver=1\r\n");
    EXPECT_TRUE(FileExists(dir + L"abc"));
    RemoveTree(dir);
}

TEST(MapTxtFile, FileLockedAgainstReadingKeepsItsContent) {
    const std::wstring dir = MakeTempDir(L"map");
    const std::wstring path = dir + L"config.ini";
    WriteBytes(path, "zeta=1\nver=1.0\n");
    {
        UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        CMapTxtFileA file(path);
        EXPECT_EQ(file.GetValue("ver"), "");
        holder.reset();
        // Released before the object ends: still not overwritten by the empty map.
    }
    EXPECT_EQ(ReadBytes(path), "zeta=1\nver=1.0\n");
    {
        UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        { CMapTxtFileA file(path); }
    }
    EXPECT_EQ(ReadBytes(path), "zeta=1\nver=1.0\n");
    RemoveTree(dir);
}

TEST(MapTxtFile, FileReadableButNotWritableKeepsItsContent) {
    const std::wstring dir = MakeTempDir(L"map");
    const std::wstring path = dir + L"config.ini";
    WriteBytes(path, "b=1\na=2\n");
    UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.valid());
    {
        CMapTxtFileA file(path);
        EXPECT_EQ(file.GetValue("a"), "2");
    }
    holder.reset();
    EXPECT_EQ(ReadBytes(path), "b=1\na=2\n");
    RemoveTree(dir);
}

TEST(MapTxtFile, MalformedLineGivesThreeDiagnosticLines) {
    const std::wstring dir = MakeTempDir(L"map");
    WriteBytes(dir + L"config.ini", "b=2\r\na=1\r\na=3\r\njunk\r\n\r\nx=1=2\r\nrate=5%s%d\r\n");
    const ProcessResult result =
        RunProcess(L"\"" + BinDir() + L"support_driver.exe\" load \"" + dir + L"config.ini\"", dir);
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, DiagnosticOf(4, "junk") + DiagnosticOf(6, "x=1=2"));
    EXPECT_EQ(ReadBytes(dir + L"config.ini"), "a=3\r\nb=2\r\nrate=5%s%d\r\n");
    RemoveTree(dir);
}

TEST(MapTxtFile, SaveReplacesTheFileInsteadOfRewritingIt) {
    const std::wstring dir = MakeTempDir(L"map");
    const std::wstring config = dir + L"config.ini";
    WriteBytes(config, "b=2\r\na=1\r\n");
    // A second name for the old bytes shows whether they were overwritten in place.
    ASSERT_TRUE(CreateHardLinkW((dir + L"old.ini").c_str(), config.c_str(), nullptr));
    { CMapTxtFileA file(config); }
    EXPECT_EQ("a=1\r\nb=2\r\n", ReadBytes(config));
    EXPECT_EQ("b=2\r\na=1\r\n", ReadBytes(dir + L"old.ini"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((config + L".new").c_str()));
    RemoveTree(dir);
}

TEST(MapTxtFile, PasswordSavesAnArchiveInstead) {
    const std::wstring dir = MakeTempDir(L"map");
    const std::wstring path = dir + L"config.ini";
    WriteBytes(path, "ver=1.0\r\n");
    {
        CMapTxtFileA file(path);
        file.SetPassword("secret");
    }
    const std::string archive = ReadBytes(path);
    ASSERT_GE(archive.size(), 4u);
    EXPECT_EQ(archive.substr(0, 2), "\x0B\x32");
    // Deflated and encrypted: the entry name shows in the clear, the text does not.
    EXPECT_EQ(archive.find("ver=1.0"), std::string::npos);
    EXPECT_NE(archive.find("qz"), std::string::npos);

    WriteBytes(path, "ver=2.0\r\n");
    {
        CMapTxtFileA file(path);
        file.SetPassword("secret");
        file.SetPassword(nullptr);
    }
    EXPECT_EQ(ReadBytes(path), "ver=2.0\r\n");
    {
        CMapTxtFileA file(path);
        file.SetPassword("");
    }
    EXPECT_EQ(ReadBytes(path), "ver=2.0\r\n");
    RemoveTree(dir);
}

namespace {

// The template with another separator, as a derived file type would use it.
class ColonFile : public CMapTxtFile<char> {
  public:
    explicit ColonFile(const std::wstring& filePath) {
        separator = "::";
        Load(filePath.c_str());
    }
};

}  // namespace

TEST(MapTxtFile, TwoCharacterSeparator) {
    const std::wstring dir = MakeTempDir(L"map");
    const std::wstring path = dir + L"pairs.txt";
    WriteBytes(path, "b:c::2\r\na::1\r\nbad:line\r\n");
    {
        ColonFile file(path);
        EXPECT_EQ(file.GetValue("a"), "1");
        EXPECT_EQ(file.GetValue("b:c"), "2");
        EXPECT_EQ(file.GetValue("bad:line"), "");
    }
    EXPECT_EQ(ReadBytes(path), "a::1\r\nb:c::2\r\n");
    RemoveTree(dir);
}
