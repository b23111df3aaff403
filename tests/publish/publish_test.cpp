// The publisher run as a child process, its tree read back by the updater's
// own file list step over a loopback server.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_list.h"
#include "support/md5.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"
#include "tools/publish/publish.h"

namespace {

const std::wstring CHINESE_DIR = L"\u6570\u636E";                    // 数据
const std::wstring CHINESE_FILE = L"\u8BF4\u660E \u6587\u4EF6.txt";  // 说明 文件.txt

// A path as one command-line argument (no trailing backslash before the quote).
std::wstring Arg(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return L"\"" + path + L"\"";
}

ProcessResult Publish(const std::wstring& release, const std::wstring& version,
                      const std::wstring& out, const std::wstring& extra = L"") {
    std::wstring line = Arg(BinDir() + L"veldra-publish.exe") + L" " + Arg(release) + L" " +
                        version + L" " + Arg(out) + (extra.empty() ? L"" : L" " + extra);
    return RunProcess(line, L"");
}

std::string Utf8(const std::wstring& text) {
    std::string bytes;
    ToListUtf8(text, bytes);
    return bytes;
}

// The value after "key": in a flat JSON object, quotes removed.
std::string ReplyField(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return std::string();
    at += key.size() + 3;
    size_t end = json.find_first_of(",}", at);
    std::string value = json.substr(at, end - at);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    return value;
}

// A release of 1.32.0: changed, added, DLL and Chinese-named files.
std::map<std::wstring, std::string> SampleFiles() {
    return {
        {L"config\\config.ini", "ver=1.32.0\r\n"},
        {L"bin\\render.dll", std::string(3000, 'd') + "1.32"},
        {L"readme.txt", "release 1.32.0\n"},
        {CHINESE_DIR + L"\\" + CHINESE_FILE, "\xE4\xB8\xAD\xE6\x96\x87 content"},
    };
}

std::wstring MakeRelease(const std::map<std::wstring, std::string>& files) {
    std::wstring release = MakeTempDir(L"release");
    for (const auto& [path, bytes] : files) WriteBytes(release + path, bytes);
    CopyFileW((BinDir() + L"veldra-demo-1.32.0.exe").c_str(), (release + L"veldra.exe").c_str(),
              FALSE);
    return release;
}

bool NothingWritten(const std::wstring& out) {
    return !FileExists(out + L"update") && !FileExists(out + L"index3.php") &&
           !FileExists(out + L".staging") && !FileExists(out + L"published");
}

std::string Reply(const std::wstring& out, const wchar_t* digit) {
    return ReadBytes(out + L"index3.php\\Ver2Control\\0\\0\\" + digit);
}

}  // namespace

TEST(PublishVersion, NumbersFollowTheUpdatersReading) {
    ReleaseVersion version;
    std::wstring error;
    ASSERT_TRUE(ParseReleaseVersion(L"1.32.0", version, error));
    EXPECT_EQ(132, version.lastVer);
    EXPECT_EQ(L"1.3", version.versionDirectory);
    EXPECT_EQ(L"1.0", version.majorDirectory);
    ASSERT_TRUE(ParseReleaseVersion(L"1.5.7", version, error));  // hundredths: 1.05
    EXPECT_EQ(105, version.lastVer);
    EXPECT_EQ(L"1.0", version.versionDirectory);
    ASSERT_TRUE(ParseReleaseVersion(L"10.0.0", version, error));
    EXPECT_EQ(1000, version.lastVer);
    EXPECT_EQ(L"10.0", version.versionDirectory);
    ASSERT_TRUE(ParseReleaseVersion(L"12.5.1", version, error));  // above 1000: times 1000
    EXPECT_EQ(12050, version.lastVer);
    EXPECT_EQ(L"12.0", version.versionDirectory);
    EXPECT_EQ(L"12.0", version.majorDirectory);
    for (const wchar_t* bad : {L"1.32", L"1.32.0.1", L"a.b.c", L"1..32.0", L"1.100.0", L"0.50.0",
                               L"1.0.0", L"-1.2.3", L"1.32.0 ", L""}) {
        error.clear();
        EXPECT_FALSE(ParseReleaseVersion(bad, version, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(PublishVersion, DirectoryAgreesWithTheEngine) {
    for (int major = 1; major <= 30; ++major) {
        for (int minor = 0; minor < 100; ++minor) {
            std::wstring text = std::to_wstring(major) + L"." + std::to_wstring(minor) + L".0";
            ReleaseVersion version;
            std::wstring error;
            if (!ParseReleaseVersion(text, version, error)) continue;
            wchar_t engine[32] = {};
            _snwprintf_s(engine, _countof(engine), _TRUNCATE, L"%.1f",
                         VersionDirectory(ServerVersionOf(version.lastVer)));
            ASSERT_EQ(std::wstring(engine), version.versionDirectory) << text;
        }
    }
}

TEST(PublishTree, WritesFilesListMainProgramAndReplies) {
    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    ProcessResult run = Publish(release, L"1.32.0", out);
    ASSERT_TRUE(run.started);
    ASSERT_EQ(0u, run.exitCode) << run.output;

    std::wstring tree = out + L"update\\1.3\\";
    for (const auto& [path, bytes] : SampleFiles()) EXPECT_EQ(bytes, ReadBytes(tree + path));
    std::string list = ReadBytes(tree + L"comm\\file.lst");
    std::string expected;
    for (const std::wstring path : {L"bin\\render.dll", L"config\\config.ini", L"readme.txt"}) {
        std::string bytes = SampleFiles()[path];
        expected += Utf8(path) + "=" + Md5Hex(bytes) + "=" + std::to_string(bytes.size()) + "\r\n";
    }
    std::string chinese = SampleFiles()[CHINESE_DIR + L"\\" + CHINESE_FILE];
    expected += Utf8(CHINESE_DIR + L"\\" + CHINESE_FILE) + "=" + Md5Hex(chinese) + "=" +
                std::to_string(chinese.size()) + "\r\n";
    EXPECT_EQ(expected, list);
    // The main program goes by its own path only.
    EXPECT_EQ(std::string::npos, list.find("veldra.exe"));
    EXPECT_FALSE(FileExists(tree + L"veldra.exe"));
    EXPECT_EQ(ReadBytes(release + L"veldra.exe"), ReadBytes(out + L"update\\1.0\\veldra.exe"));

    std::string reply = Reply(out, L"0");
    EXPECT_EQ(reply, Reply(out, L"1"));
    EXPECT_EQ("3431", ReplyField(reply, "status"));
    EXPECT_EQ("132", ReplyField(reply, "lastVer"));
    EXPECT_EQ(Md5OfFile(release + L"veldra.exe"), ReplyField(reply, "newmd5"));
    EXPECT_EQ(Md5Hex(list), ReplyField(reply, "skinmd5"));
    EXPECT_FALSE(FileExists(out + L".staging"));
    EXPECT_FALSE(FileExists(out + L"update\\last"));
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishTree, ForceAndPackage) {
    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    std::wstring package = MakeTempDir(L"pkg") + L"setup.exe";
    WriteBytes(package, "full installation package");
    ProcessResult run = Publish(release, L"1.32.0", out, L"--force --package " + Arg(package));
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_EQ("3432", ReplyField(Reply(out, L"0"), "status"));
    EXPECT_EQ("full installation package", ReadBytes(out + L"update\\last\\veldrazip.exe"));

    std::wstring missing = Arg(package + L".absent");
    run = Publish(release, L"1.32.0", MakeTempDir(L"out"), L"--package " + missing);
    EXPECT_EQ(3u, run.exitCode) << run.output;
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishTree, SecondRunAndSharedDirectory) {
    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    ASSERT_EQ(0u, Publish(release, L"1.31.0", out).exitCode);
    std::string first = ReadBytes(out + L"update\\1.3\\comm\\file.lst");
    // The same version again: same tree, same reply.
    ProcessResult again = Publish(release, L"1.31.0", out);
    ASSERT_EQ(0u, again.exitCode) << again.output;
    EXPECT_EQ(first, ReadBytes(out + L"update\\1.3\\comm\\file.lst"));
    EXPECT_EQ("131", ReplyField(Reply(out, L"0"), "lastVer"));

    // 1.35 shares 1.3 with 1.31: refused untouched, then replaced when asked.
    WriteBytes(release + L"added.txt", "new in 1.35");
    ProcessResult refused = Publish(release, L"1.35.0", out);
    EXPECT_EQ(3u, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.output.find("1.31.0")) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("--replace")) << refused.output;
    EXPECT_EQ("131", ReplyField(Reply(out, L"0"), "lastVer"));
    EXPECT_EQ(first, ReadBytes(out + L"update\\1.3\\comm\\file.lst"));
    EXPECT_FALSE(FileExists(out + L"update\\1.3\\added.txt"));

    ProcessResult replaced = Publish(release, L"1.35.0", out, L"--replace");
    ASSERT_EQ(0u, replaced.exitCode) << replaced.output;
    EXPECT_EQ("135", ReplyField(Reply(out, L"0"), "lastVer"));
    EXPECT_EQ("new in 1.35", ReadBytes(out + L"update\\1.3\\added.txt"));
    EXPECT_EQ(Md5OfFile(out + L"update\\1.3\\comm\\file.lst"),
              ReplyField(Reply(out, L"1"), "skinmd5"));
    EXPECT_FALSE(FileExists(out + L".staging"));
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishRefusals, EachLeavesNothingWritten) {
    struct Case {
        const wchar_t* label;
        std::wstring path;
        std::string bytes;
        std::string clue;
    };
    std::vector<Case> cases = {
        {L"empty", L"bin\\empty.dat", "", "empty file"},
        {L"equals", L"bin\\a=b.txt", "x", "\"=\""},
        {L"updater", L"tools\\VeldraUpdate.EXE", "x", "updater's own name"},
        {L"updater-zh", L"Veldra\u5347\u7EA7.exe.bak", "x", "updater's own name"},
        {L"list", L"comm\\file.lst", "x", "file list"},
    };
    for (const auto& c : cases) {
        auto files = SampleFiles();
        files[c.path] = c.bytes;
        std::wstring release = MakeRelease(files);
        std::wstring out = MakeTempDir(L"out");
        ProcessResult run = Publish(release, L"1.32.0", out);
        EXPECT_EQ(3u, run.exitCode) << c.label;
        EXPECT_NE(std::string::npos, run.output.find(c.clue)) << c.label << ": " << run.output;
        EXPECT_TRUE(NothingWritten(out)) << c.label;
        RemoveTree(release);
        RemoveTree(out);
    }

    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    for (const wchar_t* version : {L"1.32", L"1.32.0.0", L"v1.32.0", L"1.0.0", L"1.123.0"}) {
        ProcessResult run = Publish(release, version, out);
        EXPECT_EQ(3u, run.exitCode) << version;
        EXPECT_NE(std::string::npos, run.output.find("version")) << run.output;
        EXPECT_TRUE(NothingWritten(out)) << version;
    }
    EXPECT_EQ(2u, Publish(release, L"", out).exitCode);  // too few arguments

    std::wstring inside = release + L"out";
    ProcessResult nested = Publish(release, L"1.32.0", inside);
    EXPECT_EQ(3u, nested.exitCode);
    EXPECT_NE(std::string::npos, nested.output.find("one in the other")) << nested.output;
    EXPECT_FALSE(FileExists(inside));

    DeleteFileW((release + L"veldra.exe").c_str());
    ProcessResult noMain = Publish(release, L"1.32.0", out);
    EXPECT_EQ(3u, noMain.exitCode);
    EXPECT_NE(std::string::npos, noMain.output.find("veldra.exe")) << noMain.output;
    EXPECT_TRUE(NothingWritten(out));
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishRefusals, FourGibibytes) {
    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    std::wstring big = release + L"big.bin";
    {
        HANDLE file = CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        // Files under Wine are sparse on the host: no 4 GiB are written.
        LARGE_INTEGER size;
        size.QuadPart = 0x100000000ll;
        ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
    }
    ProcessResult run = Publish(release, L"1.32.0", out);
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_NE(std::string::npos, run.output.find("4 GiB")) << run.output;
    EXPECT_TRUE(NothingWritten(out));
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishOrder, UnreadableFileLeavesNoTreeAndNoReply) {
    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    HANDLE locked = CreateFileW((release + L"readme.txt").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    ProcessResult run = Publish(release, L"1.32.0", out);
    CloseHandle(locked);
    EXPECT_NE(0u, run.exitCode);
    EXPECT_FALSE(FileExists(out + L"update\\1.3"));
    EXPECT_FALSE(FileExists(out + L"index3.php"));
    EXPECT_FALSE(FileExists(out + L".staging"));
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishOrder, TreeIsInPlaceBeforeAnyReply) {
    std::wstring release = MakeRelease(SampleFiles());
    std::wstring out = MakeTempDir(L"out");
    // A folder where the reply goes makes the reply step fail.
    WriteBytes(out + L"index3.php\\Ver2Control\\0\\0\\0\\blocker", "x");
    ProcessResult run = Publish(release, L"1.32.0", out);
    EXPECT_NE(0u, run.exitCode);
    EXPECT_TRUE(FileExists(out + L"update\\1.3\\comm\\file.lst"));
    EXPECT_TRUE(FileExists(out + L"update\\1.0\\veldra.exe"));
    EXPECT_FALSE(FileExists(out + L"index3.php\\Ver2Control\\0\\0\\1"));
    RemoveTree(release);
    RemoveTree(out);
}

TEST(PublishOrder, AReplyNeverPointsAtAMissingList) {
    auto files = SampleFiles();
    for (int i = 0; i < 150; ++i)
        files[L"many\\file" + std::to_wstring(i) + L".txt"] = std::to_string(i);
    std::wstring release = MakeRelease(files);
    std::wstring out = MakeTempDir(L"out");
    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::vector<std::string> faults;
    std::thread watcher([&] {
        while (!done) {
            Sleep(1);  // a busy reader, not one that never lets go
            std::string reply = Reply(out, L"0");
            if (reply.empty()) continue;
            ++seen;
            int lastVer = atoi(ReplyField(reply, "lastVer").c_str());
            std::wstring list = out + L"update\\" + VersionDirectoryOf(ServerVersionOf(lastVer)) +
                                L"\\comm\\file.lst";
            if (Md5OfFile(list) != ReplyField(reply, "skinmd5")) faults.push_back(reply);
        }
    });
    ProcessResult first = Publish(release, L"1.32.0", out);
    ProcessResult second = Publish(release, L"1.41.0", out);  // another directory
    done = true;
    watcher.join();
    EXPECT_EQ(0u, first.exitCode) << first.output;
    EXPECT_EQ(0u, second.exitCode) << second.output;
    EXPECT_GT(seen.load(), 0);
    EXPECT_TRUE(faults.empty()) << faults.front();
    EXPECT_EQ("141", ReplyField(Reply(out, L"0"), "lastVer"));
    EXPECT_TRUE(FileExists(out + L"update\\1.4\\comm\\file.lst"));
    RemoveTree(release);
    RemoveTree(out);
}

namespace {

ProcessResult RunDriver(const std::wstring& product, const HttpTestServer& server, bool download) {
    CopyFileW((BinDir() + L"publish_fetch_driver.exe").c_str(),
              (product + L"publish_fetch_driver.exe").c_str(), FALSE);
    std::wstring line = Arg(product + L"publish_fetch_driver.exe") + L" " + server.baseUrl() +
                        L" 1.32" + (download ? L" download" : L"");
    return RunProcess(line, product);
}

}  // namespace

class PublishReadBack : public ::testing::Test {
  protected:
    void SetUp() override {
        release_ = MakeRelease(SampleFiles());
        out_ = MakeTempDir(L"out");
        ASSERT_EQ(0u, Publish(release_, L"1.32.0", out_).exitCode);
        ASSERT_TRUE(server_.Start());
        server_.ServeDirectory(out_);
    }
    void TearDown() override {
        server_.Stop();
        RemoveTree(release_);
        RemoveTree(out_);
    }
    std::wstring release_;
    std::wstring out_;
    HttpTestServer server_;
};

TEST_F(PublishReadBack, FreshFolderQueuesEveryListedFile) {
    std::wstring product = MakeTempDir(L"product");
    ProcessResult run = RunDriver(product, server_, false);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("first read=1 count=4")) << run.output;
    for (const auto& [path, bytes] : SampleFiles()) {
        EXPECT_NE(std::string::npos, run.output.find(Md5Hex(bytes) + " " + Utf8(path)))
            << run.output;
    }
    EXPECT_EQ(ReadBytes(out_ + L"update\\1.3\\comm\\file.lst"),
              ReadBytes(product + L"comm\\file.lst"));
    RemoveTree(product);
}

TEST_F(PublishReadBack, CopyOfTheReleaseQueuesNone) {
    std::wstring product = MakeTempDir(L"product");
    for (const auto& [path, bytes] : SampleFiles()) WriteBytes(product + path, bytes);
    CopyFileW((release_ + L"veldra.exe").c_str(), (product + L"veldra.exe").c_str(), FALSE);
    ProcessResult run = RunDriver(product, server_, false);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("first read=1 count=0")) << run.output;
    RemoveTree(product);
}

TEST_F(PublishReadBack, ChineseNamesDownloadIntoPlace) {
    std::wstring product = MakeTempDir(L"product");
    ProcessResult run = RunDriver(product, server_, true);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("again read=1 count=0")) << run.output;
    for (const auto& [path, bytes] : SampleFiles()) {
        EXPECT_EQ(bytes, ReadBytes(product + path)) << Utf8(path);
    }
    std::string requests;
    for (const auto& request : server_.requests()) requests += request + "\n";
    EXPECT_EQ(0u, server_.requestCount("/update/1.3/veldra.exe")) << requests;
    RemoveTree(product);
}
