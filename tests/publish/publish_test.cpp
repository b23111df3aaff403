// The publisher run as a child process, natively and under Wine: layout, list,
// replies, refusals and the order of writing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/version_numbers.h"
#include "tests/publish/publisher_run.h"
#include "tools/publish/publish.h"
#include "tools/publish/publish_platform.h"

namespace fs = std::filesystem;

namespace {

const std::string CHINESE_DIR = "\xE6\x95\xB0\xE6\x8D\xAE";  // 数据
const std::string CHINESE_FILE =
    "\xE8\xAF\xB4\xE6\x98\x8E \xE6\x96\x87\xE4\xBB\xB6.txt";  // 说明 文件.txt
const std::string MAIN_PROGRAM_BYTES =
    std::string("MZ demo product 1.32.0") + std::string(500, 'p');

PublisherRun Publish(const fs::path& release, const std::string& version, const fs::path& out,
                     std::vector<fs::path> extra = {}) {
    std::vector<fs::path> arguments = {release, fs::u8path(version), out};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunPublisher(arguments);
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

std::string Md5Of(const fs::path& path) { return DigestOfFile(path); }

// A release of 1.32.0: changed, added, DLL and Chinese-named files.
std::map<std::string, std::string> SampleFiles() {
    return {
        {"config\\config.ini", "ver=1.32.0\r\n"},
        {"bin\\render.dll", std::string(3000, 'd') + "1.32"},
        {"readme.txt", "release 1.32.0\n"},
        {CHINESE_DIR + "\\" + CHINESE_FILE, "\xE4\xB8\xAD\xE6\x96\x87 content"},
    };
}

fs::path MakeRelease(const std::map<std::string, std::string>& files) {
    fs::path release = NewFolder("release");
    for (const auto& [path, bytes] : files) WriteBytes(release / PathOf(path), bytes);
    WriteBytes(release / "veldra.exe", MAIN_PROGRAM_BYTES);
    return release;
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

bool NothingWritten(const fs::path& out) {
    return !Exists(out / "update") && !Exists(out / "index3.php") && !Exists(out / ".staging") &&
           !Exists(out / "published");
}

fs::path ReplyPath(const fs::path& out, const char* digit) {
    return out / "index3.php" / "Ver2Control" / "0" / "0" / digit;
}

std::string Reply(const fs::path& out, const char* digit) {
    return ReadBytes(ReplyPath(out, digit));
}

// What the updater asks for, from a reply's "lastVer".
std::string DirectoryOfLastVer(int lastVer) {
    float serverVersion = 0.0f;
    ServerVersionFromLastVer(lastVer, serverVersion);
    char text[32] = {};
    snprintf(text, sizeof(text), "%.1f", VersionDirectory(serverVersion));
    return text;
}

}  // namespace

TEST(PublishVersion, NumbersFollowTheUpdatersReading) {
    ReleaseVersion version;
    std::string error;
    ASSERT_TRUE(ParseReleaseVersion("1.32.0", version, error));
    EXPECT_EQ(132, version.lastVer);
    EXPECT_EQ("1.3", version.versionDirectory);
    EXPECT_EQ("1.0", version.majorDirectory);
    ASSERT_TRUE(ParseReleaseVersion("1.5.7", version, error));  // hundredths: 1.05
    EXPECT_EQ(105, version.lastVer);
    EXPECT_EQ("1.0", version.versionDirectory);
    ASSERT_TRUE(ParseReleaseVersion("1.99.0", version, error));
    EXPECT_EQ("1.9", version.versionDirectory);
    ASSERT_TRUE(ParseReleaseVersion("10.0.0", version, error));
    EXPECT_EQ(1000, version.lastVer);
    EXPECT_EQ("10.0", version.versionDirectory);
    ASSERT_TRUE(ParseReleaseVersion("12.5.1", version, error));  // above 1000: times 1000
    EXPECT_EQ(12050, version.lastVer);
    EXPECT_EQ("12.0", version.versionDirectory);
    EXPECT_EQ("12.0", version.majorDirectory);
    for (const char* bad : {"1.32", "1.32.0.1", "a.b.c", "1..32.0", "1.100.0", "0.50.0", "1.0.0",
                            "-1.2.3", "1.32.0 ", ""}) {
        error.clear();
        EXPECT_FALSE(ParseReleaseVersion(bad, version, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(PublishTree, WritesFilesListMainProgramAndReplies) {
    fs::path release = MakeRelease(SampleFiles());
    fs::path out = NewFolder("out");
    PublisherRun run = Publish(release, "1.32.0", out);
    ASSERT_TRUE(run.started);
    ASSERT_EQ(0, run.exitCode) << run.output;

    fs::path tree = out / "update" / "1.3";
    for (const auto& [path, bytes] : SampleFiles())
        EXPECT_EQ(bytes, ReadBytes(tree / PathOf(path)));
    std::string list = ReadBytes(tree / "comm" / "file.lst");
    // Sorted by UTF-8 bytes, digests as md5sum gives them but in upper case.
    EXPECT_EQ(
        "bin\\render.dll=6B3C479D0411FD7D9772ACF01F7DAA08=3004\r\n"
        "config\\config.ini=A15AB744F4F6A3F33F3968CE9F4184A6=12\r\n"
        "readme.txt=6425997D34CB784E38B40AC2BA29913C=15\r\n" +
            CHINESE_DIR + "\\" + CHINESE_FILE + "=2A2874EDDE3896C28EB21E5685761999=14\r\n",
        list);
    // The main program goes by its own path only.
    EXPECT_EQ(std::string::npos, list.find("veldra.exe"));
    EXPECT_FALSE(Exists(tree / "veldra.exe"));
    EXPECT_EQ(MAIN_PROGRAM_BYTES, ReadBytes(out / "update" / "1.0" / "veldra.exe"));

    std::string reply = Reply(out, "0");
    EXPECT_EQ(reply, Reply(out, "1"));
    EXPECT_EQ("3431", ReplyField(reply, "status"));
    EXPECT_EQ("132", ReplyField(reply, "lastVer"));
    EXPECT_EQ(Md5Of(release / "veldra.exe"), ReplyField(reply, "newmd5"));
    EXPECT_EQ(Md5Of(tree / "comm" / "file.lst"), ReplyField(reply, "skinmd5"));
    EXPECT_EQ(32u, ReplyField(reply, "skinmd5").size());
    EXPECT_FALSE(Exists(out / ".staging"));
    EXPECT_FALSE(Exists(out / "update" / "last"));
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishTree, ForceAndPackage) {
    fs::path release = MakeRelease(SampleFiles());
    fs::path out = NewFolder("out");
    fs::path package = NewFolder("pkg") / "setup.exe";
    WriteBytes(package, "full installation package");
    PublisherRun run = Publish(release, "1.32.0", out, {"--force", "--package", package});
    ASSERT_EQ(0, run.exitCode) << run.output;
    EXPECT_EQ("3432", ReplyField(Reply(out, "0"), "status"));
    EXPECT_EQ("full installation package", ReadBytes(out / "update" / "last" / "veldrazip.exe"));

    fs::path missing = package;
    missing += ".absent";
    run = Publish(release, "1.32.0", NewFolder("out"), {"--package", missing});
    EXPECT_EQ(3, run.exitCode) << run.output;
    RemoveFolder(release);
    RemoveFolder(out);
    RemoveFolder(package.parent_path());
}

TEST(PublishTree, SecondRunAndSharedDirectory) {
    fs::path release = MakeRelease(SampleFiles());
    fs::path out = NewFolder("out");
    fs::path list = out / "update" / "1.3" / "comm" / "file.lst";
    ASSERT_EQ(0, Publish(release, "1.31.0", out).exitCode);
    std::string first = ReadBytes(list);
    // The same version again: same tree, same reply.
    PublisherRun again = Publish(release, "1.31.0", out);
    ASSERT_EQ(0, again.exitCode) << again.output;
    EXPECT_EQ(first, ReadBytes(list));
    EXPECT_EQ("131", ReplyField(Reply(out, "0"), "lastVer"));

    // 1.35 shares 1.3 with 1.31: refused untouched, then replaced when asked.
    WriteBytes(release / "added.txt", "new in 1.35");
    PublisherRun refused = Publish(release, "1.35.0", out);
    EXPECT_EQ(3, refused.exitCode);
    EXPECT_NE(std::string::npos, refused.output.find("1.31.0")) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("--replace")) << refused.output;
    EXPECT_EQ("131", ReplyField(Reply(out, "0"), "lastVer"));
    EXPECT_EQ(first, ReadBytes(list));
    EXPECT_FALSE(Exists(out / "update" / "1.3" / "added.txt"));

    PublisherRun replaced = Publish(release, "1.35.0", out, {"--replace"});
    ASSERT_EQ(0, replaced.exitCode) << replaced.output;
    EXPECT_EQ("135", ReplyField(Reply(out, "0"), "lastVer"));
    EXPECT_EQ("new in 1.35", ReadBytes(out / "update" / "1.3" / "added.txt"));
    EXPECT_EQ(Md5Of(list), ReplyField(Reply(out, "1"), "skinmd5"));
    EXPECT_FALSE(Exists(out / ".staging"));
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishRefusals, EachLeavesNothingWritten) {
    struct Case {
        const char* label;
        std::string path;
        std::string bytes;
        std::string clue;
    };
    std::vector<Case> cases = {
        {"empty", "bin\\empty.dat", "", "empty file"},
        {"equals", "bin\\a=b.txt", "x", "\"=\""},
        {"updater", "tools\\VeldraUpdate.EXE", "x", "updater's own name"},
        {"updater-zh", "Veldra\xE5\x8D\x87\xE7\xBA\xA7.exe.bak", "x", "updater's own name"},
        {"list", "comm\\file.lst", "x", "file list"},
    };
    for (const auto& c : cases) {
        auto files = SampleFiles();
        files[c.path] = c.bytes;
        fs::path release = MakeRelease(files);
        fs::path out = NewFolder("out");
        PublisherRun run = Publish(release, "1.32.0", out);
        EXPECT_EQ(3, run.exitCode) << c.label;
        EXPECT_NE(std::string::npos, run.output.find(c.clue)) << c.label << ": " << run.output;
        EXPECT_TRUE(NothingWritten(out)) << c.label;
        RemoveFolder(release);
        RemoveFolder(out);
    }

    fs::path release = MakeRelease(SampleFiles());
    fs::path out = NewFolder("out");
    for (const char* version : {"1.32", "1.32.0.0", "v1.32.0", "1.0.0", "1.123.0"}) {
        PublisherRun run = Publish(release, version, out);
        EXPECT_EQ(3, run.exitCode) << version;
        EXPECT_NE(std::string::npos, run.output.find("version")) << run.output;
        EXPECT_TRUE(NothingWritten(out)) << version;
    }
    EXPECT_EQ(2, RunPublisher({release, "1.32.0"}).exitCode);  // too few arguments
    EXPECT_EQ(2, Publish(release, "1.32.0", out, {"--sideways"}).exitCode);

    fs::path inside = release / "out";
    PublisherRun nested = Publish(release, "1.32.0", inside);
    EXPECT_EQ(3, nested.exitCode);
    EXPECT_NE(std::string::npos, nested.output.find("one in the other")) << nested.output;
    EXPECT_FALSE(Exists(inside));
    EXPECT_EQ(3, Publish(out, "1.32.0", out).exitCode);

    fs::remove(release / "veldra.exe");
    PublisherRun noMain = Publish(release, "1.32.0", out);
    EXPECT_EQ(3, noMain.exitCode);
    EXPECT_NE(std::string::npos, noMain.output.find("veldra.exe")) << noMain.output;
    EXPECT_TRUE(NothingWritten(out));
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishRefusals, FilesTheUpdaterCannotDigestOrList) {
    // Sparse files: neither size is written to the disk.
    for (const auto& [size, clue] :
         {std::pair<uintmax_t, std::string>{0x80000000ull, "2 GiB"}, {0x100000000ull, "4 GiB"}}) {
        fs::path release = MakeRelease(SampleFiles());
        fs::path out = NewFolder("out");
        fs::path big = release / "big.bin";
        ASSERT_TRUE(WriteBytes(big, "x"));
        fs::resize_file(big, size);
        PublisherRun run = Publish(release, "1.32.0", out);
        EXPECT_EQ(3, run.exitCode) << clue;
        EXPECT_NE(std::string::npos, run.output.find(clue)) << run.output;
        EXPECT_TRUE(NothingWritten(out));
        RemoveFolder(release);
        RemoveFolder(out);
    }
}

TEST(PublishOrder, FailedCopyLeavesNoTreeAndNoReply) {
    auto files = SampleFiles();
    files["bin\\large.dat"] = std::string(1 << 20, 'L');
    fs::path release = MakeRelease(files);
    fs::path out = NewFolder("out");
    PublisherRun run =
        RunPublisherFailingOn({release, "1.32.0", out}, release / "bin" / "large.dat");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(4, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("large.dat")) << run.output;
    EXPECT_FALSE(Exists(out / "update" / "1.3"));
    EXPECT_FALSE(Exists(out / "index3.php"));
    EXPECT_FALSE(Exists(out / ".staging"));
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishOrder, TreeIsInPlaceBeforeAnyReply) {
    fs::path release = MakeRelease(SampleFiles());
    fs::path out = NewFolder("out");
    // A folder where the reply goes makes the reply step fail.
    WriteBytes(ReplyPath(out, "0") / "blocker", "x");
    PublisherRun run = Publish(release, "1.32.0", out);
    EXPECT_EQ(4, run.exitCode) << run.output;
    EXPECT_TRUE(Exists(out / "update" / "1.3" / "comm" / "file.lst"));
    EXPECT_TRUE(Exists(out / "update" / "1.0" / "veldra.exe"));
    EXPECT_FALSE(Exists(ReplyPath(out, "1")));
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishOrder, AnotherPublisherIsKeptOff) {
    fs::path release = MakeRelease(SampleFiles());
    fs::path out = NewFolder("out");
    {
        OutputLock lock;
        ASSERT_TRUE(lock.Take(out / ".publish.lock"));
        PublisherRun run = Publish(release, "1.32.0", out);
        EXPECT_EQ(4, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("another publisher")) << run.output;
        EXPECT_TRUE(NothingWritten(out));
    }
    EXPECT_EQ(0, Publish(release, "1.32.0", out).exitCode);
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishOrder, AReplyNeverPointsAtAMissingList) {
    auto files = SampleFiles();
    for (int i = 0; i < 150; ++i)
        files["many\\file" + std::to_string(i) + ".txt"] = std::to_string(i);
    fs::path release = MakeRelease(files);
    fs::path out = NewFolder("out");
    std::atomic<bool> done{false};
    std::atomic<int> seen{0};
    std::vector<std::string> faults;
    std::thread watcher([&] {
        while (!done) {
            // A busy reader, not one that never lets go.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::string reply = Reply(out, "0");
            if (reply.empty()) continue;
            ++seen;
            int lastVer = atoi(ReplyField(reply, "lastVer").c_str());
            fs::path list = out / "update" / DirectoryOfLastVer(lastVer) / "comm" / "file.lst";
            if (Md5Of(list) != ReplyField(reply, "skinmd5")) faults.push_back(reply);
        }
    });
    PublisherRun first = Publish(release, "1.32.0", out);
    PublisherRun second = Publish(release, "1.41.0", out);  // another directory
    done = true;
    watcher.join();
    EXPECT_EQ(0, first.exitCode) << first.output;
    EXPECT_EQ(0, second.exitCode) << second.output;
    EXPECT_GT(seen.load(), 0);
    EXPECT_TRUE(faults.empty()) << faults.front();
    EXPECT_EQ("141", ReplyField(Reply(out, "0"), "lastVer"));
    EXPECT_TRUE(Exists(out / "update" / "1.4" / "comm" / "file.lst"));
    RemoveFolder(release);
    RemoveFolder(out);
}
