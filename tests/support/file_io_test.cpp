#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/file_io.h"
#include "support/unique_handle.h"
#include "tests/test_support.h"

namespace {

std::vector<std::string> LinesOf(const std::string& bytes) {
    const std::wstring dir = MakeTempDir(L"lines");
    WriteBytes(dir + L"f.txt", bytes);
    std::vector<std::string> lines;
    EXPECT_TRUE(ReadLines(dir + L"f.txt", lines));
    RemoveTree(dir);
    return lines;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(ReadLines, TextModeLineEnds) {
    EXPECT_EQ(LinesOf("a\r\n\r\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(LinesOf("a\nb\n"), (Lines{"a", "b"}));
    EXPECT_EQ(LinesOf("a\r\nb\r\n"), (Lines{"a", "b"}));
    // A CR not followed by LF stays in the line.
    EXPECT_EQ(LinesOf("a\rb\r\nc"), (Lines{"a\rb", "c"}));
    EXPECT_EQ(LinesOf("a\r\r\nb"), (Lines{"a\r", "b"}));
}

TEST(ReadLines, EndOfTextByteEndsTheFile) {
    EXPECT_EQ(LinesOf("a\r\nb\x1A"
                      "c\r\nd\r\n"),
              (Lines{"a", "b"}));
    EXPECT_EQ(LinesOf("\x1A"
                      "a\r\n"),
              Lines{});
}

TEST(ReadLines, OneLeadingCrDropped) {
    EXPECT_EQ(LinesOf("\rx\n"), Lines{"x"});
    EXPECT_EQ(LinesOf("\r\rx\n"), Lines{"\rx"});
    EXPECT_EQ(LinesOf("a\n\r\r\nb"), (Lines{"a", "", "b"}));
}

TEST(ReadLines, CutAtNulAndLastLineWithoutEnd) {
    EXPECT_EQ(LinesOf(std::string("ab\0cd\r\nef", 9)), (Lines{"ab", "ef"}));
    EXPECT_EQ(LinesOf(std::string("\0x\nlast", 7)), (Lines{"", "last"}));
    EXPECT_EQ(LinesOf("only"), Lines{"only"});
}

TEST(ReadLines, EmptyAndLongFiles) {
    EXPECT_EQ(LinesOf(""), Lines{});
    EXPECT_EQ(LinesOf("\n\n"), (Lines{"", ""}));
    // Lines crossing the read buffer, with CR LF split over its edge.
    std::string bytes;
    Lines expected;
    for (int i = 0; i < 5000; ++i) {
        const std::string line = "line" + std::to_string(i) + std::string(i % 17, 'z');
        bytes += line + "\r\n";
        expected.push_back(line);
    }
    EXPECT_EQ(LinesOf(bytes), expected);
}

TEST(ReadLines, MissingFileLeavesTheListUnchanged) {
    const std::wstring dir = MakeTempDir(L"lines");
    Lines lines = {"kept"};
    EXPECT_FALSE(ReadLines(dir + L"missing.txt", lines));
    EXPECT_EQ(lines, Lines{"kept"});
    RemoveTree(dir);
}

TEST(ReadLines, ReadsWhileAnotherHandleWrites) {
    const std::wstring dir = MakeTempDir(L"lines");
    ASSERT_TRUE(WriteBytes(dir + L"f.txt", "a=1\r\n"));
    UniqueHandle writer(CreateFileW((dir + L"f.txt").c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    Lines lines;
    EXPECT_TRUE(ReadLines(dir + L"f.txt", lines));
    EXPECT_EQ(lines, Lines{"a=1"});
    writer.reset();
    RemoveTree(dir);
}

TEST(ReadWholeFile, BinaryContent) {
    const std::wstring dir = MakeTempDir(L"whole");
    const std::string content("a\r\nb\x1A\0c\xFF", 8);
    ASSERT_TRUE(WriteBytes(dir + L"f.bin", content));
    std::string bytes = "previous content, longer than the file";
    EXPECT_EQ(ReadWholeFile(dir + L"f.bin", bytes), 8);
    EXPECT_EQ(bytes, content);
    RemoveTree(dir);
}

TEST(ReadWholeFile, EmptyMissingAndHeldForWriting) {
    const std::wstring dir = MakeTempDir(L"whole");
    ASSERT_TRUE(WriteBytes(dir + L"empty", ""));
    std::string bytes = "old";
    EXPECT_EQ(ReadWholeFile(dir + L"empty", bytes), 0);
    EXPECT_EQ(bytes, "");

    bytes = "old";
    EXPECT_EQ(ReadWholeFile(dir + L"missing", bytes), 0);
    EXPECT_EQ(bytes, "old");

    ASSERT_TRUE(WriteBytes(dir + L"busy", "content"));
    {
        UniqueHandle writer(CreateFileW((dir + L"busy").c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer.valid());
        EXPECT_EQ(ReadWholeFile(dir + L"busy", bytes), 0);
        EXPECT_EQ(bytes, "old");
    }
    // A reader that lets others read does not stand in the way.
    {
        UniqueHandle reader(CreateFileW((dir + L"busy").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader.valid());
        EXPECT_EQ(ReadWholeFile(dir + L"busy", bytes), 7);
        EXPECT_EQ(bytes, "content");
    }
    RemoveTree(dir);
}

TEST(MeasureAndRead, ContentOnlyAtTheWantedSizeIntoAReusedBuffer) {
    const std::wstring dir = MakeTempDir(L"measure");
    ASSERT_TRUE(WriteBytes(dir + L"long.bin", std::string("a\r\nb\x1A\0c", 7)));
    ASSERT_TRUE(WriteBytes(dir + L"short.bin", "xyz"));
    std::string buffer;
    MeasuredFile found = MeasureAndRead(dir + L"long.bin", 7, buffer);
    EXPECT_TRUE(found.opened);
    EXPECT_EQ(found.lowSize, 7u);
    ASSERT_EQ(found.bytesRead, 7);
    EXPECT_EQ(buffer.substr(0, 7), std::string("a\r\nb\x1A\0c", 7));
    FileStamp stamp;
    ASSERT_TRUE(ReadFileStamp(dir + L"long.bin", stamp));
    EXPECT_EQ(stamp.size, 7u);
    EXPECT_TRUE(stamp == found.stamp);

    found = MeasureAndRead(dir + L"short.bin", 3, buffer);
    ASSERT_EQ(found.bytesRead, 3);
    EXPECT_EQ(buffer.substr(0, 3), "xyz");
    EXPECT_EQ(buffer.size(), 7u);

    // Another size is measured, not read.
    found = MeasureAndRead(dir + L"long.bin", 8, buffer);
    EXPECT_TRUE(found.opened);
    EXPECT_EQ(found.lowSize, 7u);
    EXPECT_EQ(found.bytesRead, 0);
    RemoveTree(dir);
}

TEST(MeasureAndRead, MissingEmptyAndHeldForWriting) {
    const std::wstring dir = MakeTempDir(L"measure");
    std::string buffer;
    // Missing in an existing folder: created empty. Missing folder: nothing made.
    MeasuredFile found = MeasureAndRead(dir + L"new.bin", 5, buffer);
    EXPECT_TRUE(found.opened);
    EXPECT_EQ(found.lowSize, 0u);
    EXPECT_TRUE(FileExists(dir + L"new.bin"));
    EXPECT_EQ(ReadBytes(dir + L"new.bin"), "");
    found = MeasureAndRead(dir + L"no\\new.bin", 5, buffer);
    EXPECT_FALSE(found.opened);
    EXPECT_FALSE(FileExists(dir + L"no"));
    EXPECT_FALSE(MeasureAndRead(L"", 5, buffer).opened);
    EXPECT_EQ(MeasureAndRead(dir + L"new.bin", 0, buffer).bytesRead, 0);

    ASSERT_TRUE(WriteBytes(dir + L"busy", "content"));
    UniqueHandle writer(CreateFileW((dir + L"busy").c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.valid());
    found = MeasureAndRead(dir + L"busy", 7, buffer);
    EXPECT_FALSE(found.opened);
    EXPECT_EQ(found.lowSize, 0u);
    writer.reset();
    FileStamp stamp;
    EXPECT_FALSE(ReadFileStamp(dir + L"missing", stamp));
    EXPECT_FALSE(ReadFileStamp(dir, stamp));
    RemoveTree(dir);
}

bool AnyStagingIn(const std::wstring& dir) {
    return AnyFileMatches(dir + STAGING_PREFIX + L"*" + STAGING_SUFFIX);
}

// The source file itself takes the place of the old one, without the marks it
// had, and only once its bytes are on the disk; bytes are staged the same way.
TEST(ReplaceWithFile, TheSourceTakesThePlaceAsAPlainFileFlushedFirst) {
    const std::wstring dir = MakeTempDir(L"replace-with-file");
    const std::wstring source = dir + L"fetched.tmp";
    const std::wstring target = dir + L"sub\\a.bin";
    ASSERT_TRUE(WriteBytes(source, "new bytes"));
    ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_HIDDEN));
    const auto identity = [](const std::wstring& path) {
        UniqueHandle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        BY_HANDLE_FILE_INFORMATION information = {};
        GetFileInformationByHandle(file.get(), &information);
        return (static_cast<unsigned long long>(information.nFileIndexHigh) << 32) |
               information.nFileIndexLow;
    };
    const unsigned long long sourceIdentity = identity(source);
    ReplaceSteps steps;
    EXPECT_TRUE(ReplaceWithFile(target, source, &steps));
    EXPECT_EQ(steps,
              (ReplaceSteps{ReplaceStep::Flushed, ReplaceStep::Renamed, ReplaceStep::Replaced}));
    EXPECT_EQ(identity(target), sourceIdentity);
    EXPECT_EQ(ReadBytes(target), "new bytes");
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_FALSE(FileExists(source));
    EXPECT_FALSE(AnyStagingIn(dir + L"sub\\"));

    steps.clear();
    EXPECT_TRUE(ReplaceWithBytes(target, "newer", 5, &steps));
    EXPECT_EQ(steps,
              (ReplaceSteps{ReplaceStep::Written, ReplaceStep::Flushed, ReplaceStep::Replaced}));
    EXPECT_EQ(ReadBytes(target), "newer");
    EXPECT_FALSE(AnyStagingIn(dir + L"sub\\"));
    RemoveTree(dir);
}

// Wine keeps no folder rules, so the decision is held to descriptors made here.
TEST(PassesAccessToFiles, OnlyAListWithAnEntryFilesInherit) {
    const struct {
        const wchar_t* sddl;
        bool passes;
    } cases[] = {
        {L"D:(A;OICI;FA;;;BU)", true},    // inherited by files and folders
        {L"D:(A;OICIIO;FA;;;BU)", true},  // inherit-only: for what is made inside
        {L"D:P(A;OICI;FA;;;BU)", true},   // protected from above, still passes on
        {L"D:(A;;FA;;;BU)(A;OI;FR;;;WD)", true},
        {L"D:(A;CI;FA;;;BU)", false},  // folders only
        {L"D:(A;;FA;;;BU)", false},    // the folder's own entry alone
        {L"D:", false},                // empty list
        {L"O:BA", false},              // no list at all
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << std::wstring(c.sddl).size();
        EXPECT_EQ(PassesAccessToFiles(descriptor), c.passes) << std::wstring(c.sddl).size();
        LocalFree(descriptor);
    }
}

TEST(PrepareDestination, CreatesMissingParentsAndAnEmptyFile) {
    const std::wstring dir = MakeTempDir(L"prep");
    const std::wstring path = dir + L"a\\b/c\\file.txt";
    EXPECT_TRUE(PrepareDestination(path));
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(ReadBytes(path), "");
    RemoveTree(dir);
}

TEST(PrepareDestination, DotInTheDirectory) {
    const std::wstring dir = MakeTempDir(L"prep");
    const std::wstring path = dir + L"v1.3\\sub.d\\f.bin";
    EXPECT_TRUE(PrepareDestination(path));
    EXPECT_TRUE(FileExists(dir + L"v1.3\\sub.d\\"));
    EXPECT_EQ(ReadBytes(path), "");
    RemoveTree(dir);
}

TEST(PrepareDestination, TruncatesAnExistingFile) {
    const std::wstring dir = MakeTempDir(L"prep");
    ASSERT_TRUE(WriteBytes(dir + L"f.bin", "old content"));
    EXPECT_TRUE(PrepareDestination(dir + L"f.bin"));
    EXPECT_TRUE(FileExists(dir + L"f.bin"));
    EXPECT_EQ(ReadBytes(dir + L"f.bin"), "");
    RemoveTree(dir);
}

TEST(PrepareDestination, FalseWhenTheFileCannotBeOpened) {
    const std::wstring dir = MakeTempDir(L"prep");
    ASSERT_TRUE(WriteBytes(dir + L"held.bin", "kept"));
    {
        UniqueHandle holder(CreateFileW((dir + L"held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());
        EXPECT_FALSE(PrepareDestination(dir + L"held.bin"));
    }
    EXPECT_EQ(ReadBytes(dir + L"held.bin"), "kept");
    // A folder where the file should be.
    ASSERT_TRUE(CreateDirectoryW((dir + L"folder").c_str(), nullptr));
    EXPECT_FALSE(PrepareDestination(dir + L"folder"));
    RemoveTree(dir);
}

TEST(PrepareDestination, BareNameCreatesNoFolder) {
    const std::wstring dir = MakeTempDir(L"prep");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    const bool prepared = PrepareDestination(L"bare.txt");
    const DWORD attributes = GetFileAttributesW(L"bare.txt");
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(prepared);
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    RemoveTree(dir);
}

TEST(PrepareDestination, FailedTruncationThrows) {
    const std::wstring dir = MakeTempDir(L"prep");
    const std::wstring path = dir + L"mapped.bin";
    ASSERT_TRUE(WriteBytes(path, std::string(4096, 'm')));
    // A file with a mapped view opens for writing but cannot be cut.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    ASSERT_TRUE(mapping.valid());
    const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_THROW(PrepareDestination(path), std::filesystem::filesystem_error);
    UnmapViewOfFile(view);
    mapping.reset();
    file.reset();
    RemoveTree(dir);
}
