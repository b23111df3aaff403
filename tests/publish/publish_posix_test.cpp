// What a Linux release folder can hold and a Windows product folder cannot:
// the native publisher refuses it as the updater could never converge on it.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/publish/publisher_run.h"

namespace fs = std::filesystem;

namespace {

fs::path MakeRelease() {
    fs::path release = NewFolder("release");
    WriteBytes(release / "veldra.exe", "MZ demo product");
    WriteBytes(release / "readme.txt", "release 1.32.0\n");
    return release;
}

}  // namespace

TEST(PublishNativeRefusals, NamesAndEntriesWindowsCannotHold) {
    struct Case {
        const char* label;
        std::string clue;
        void (*make)(const fs::path& release);
    };
    std::vector<Case> cases = {
        {"not UTF-8", "no UTF-8 form: bin/bad\\xFF.dat",
         [](const fs::path& r) { WriteBytes(r / "bin" / std::string("bad\xFF.dat"), "x"); }},
        {"CESU surrogate", "no UTF-8 form",
         [](const fs::path& r) { WriteBytes(r / std::string("s\xED\xA0\x80.txt"), "x"); }},
        {"backslash", "Windows cannot hold: a\\b.txt",
         [](const fs::path& r) { WriteBytes(r / "a\\b.txt", "x"); }},
        {"colon", "Windows cannot hold", [](const fs::path& r) { WriteBytes(r / "c:d", "x"); }},
        {"device", "Windows cannot hold: bin\\Con.txt",
         [](const fs::path& r) { WriteBytes(r / "bin" / "Con.txt", "x"); }},
        {"trailing dot", "Windows cannot hold",
         [](const fs::path& r) { WriteBytes(r / "data." / "x.txt", "x"); }},
        {"device digit 0", "Windows cannot hold: COM0.txt",
         [](const fs::path& r) { WriteBytes(r / "COM0.txt", "x"); }},
        {"device superscript", "Windows cannot hold: lpt\xC2\xB9.txt",
         [](const fs::path& r) { WriteBytes(r / "lpt\xC2\xB9.txt", "x"); }},
        {"device blank", "Windows cannot hold: nul .txt",
         [](const fs::path& r) { WriteBytes(r / "nul .txt", "x"); }},
        {"file beside a folder", "name of a folder in another letter case: Bin",
         [](const fs::path& r) { WriteBytes(r / "Bin", "x"), WriteBytes(r / "bin" / "a", "x"); }},
        {"control character", "Windows cannot hold: a\\x01.txt",
         [](const fs::path& r) { WriteBytes(r / "a\x01.txt", "x"); }},
        {"letter case", "only in letter case",
         [](const fs::path& r) { WriteBytes(r / "README.txt", "other"); }},
        {"letter case beyond ASCII", "only in letter case",
         [](const fs::path& r) {
             WriteBytes(r / "\xC3\x84rger.txt", "x"), WriteBytes(r / "\xC3\xA4rger.txt", "y");
         }},
        {"Cyrillic file beside a folder", "name of a folder in another letter case",
         [](const fs::path& r) {
             WriteBytes(r / "\xD0\x94", "x"), WriteBytes(r / "\xD0\xB4" / "a", "x");
         }},
        {"fifo", "neither a file nor a folder: pipe",
         [](const fs::path& r) { mkfifo((r / "pipe").c_str(), 0644); }},
        {"linked folder", "linked folder (not followed): loop",
         [](const fs::path& r) { fs::create_directory_symlink(r, r / "loop"); }},
        {"dangling link", "neither a file nor a folder: gone",
         [](const fs::path& r) { fs::create_symlink(r / "absent", r / "gone"); }},
    };
    for (const auto& c : cases) {
        fs::path release = MakeRelease();
        fs::path out = NewFolder("out");
        c.make(release);
        PublisherRun run = RunPublisher({release, "1.32.0", out});
        EXPECT_EQ(3, run.exitCode) << c.label << ": " << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.clue)) << c.label << ": " << run.output;
        EXPECT_FALSE(fs::exists(out / "update")) << c.label;
        EXPECT_FALSE(fs::exists(out / "index3.php")) << c.label;
        RemoveFolder(release);
        RemoveFolder(out);
    }
}

// A pipe is never opened: as the key it is refused, in an earlier release it is passed by.
TEST(PublishNativeRefusals, PipesAreNeverOpened) {
    fs::path release = MakeRelease();
    fs::path earlier = NewFolder("earlier");
    fs::path out = NewFolder("out");
    mkfifo((earlier / "readme.txt").c_str(), 0644);
    mkfifo((earlier / "key.pem").c_str(), 0600);
    PublisherRun key = RunPublisher({release, "1.32.0", out, "--sign", earlier / "key.pem"});
    EXPECT_EQ(3, key.exitCode) << key.output;
    EXPECT_NE(std::string::npos, key.output.find("is not a file")) << key.output;
    PublisherRun run = RunPublisher({release, "1.32.0", out, "--delta-from", earlier});
    EXPECT_EQ(0, run.exitCode) << run.output;
    RemoveFolder(release);
    RemoveFolder(earlier);
    RemoveFolder(out);
}

TEST(PublishNativeRefusals, LinkedFileIsPublishedAsItsContent) {
    fs::path release = MakeRelease();
    fs::path elsewhere = NewFolder("elsewhere");
    WriteBytes(elsewhere / "shared.dll", "shared bytes");
    fs::create_symlink(elsewhere / "shared.dll", release / "shared.dll");
    fs::path out = NewFolder("out");
    PublisherRun run = RunPublisher({release, "1.32.0", out});
    ASSERT_EQ(0, run.exitCode) << run.output;
    fs::path served = out / "update" / "1.3" / "shared.dll";
    EXPECT_FALSE(fs::is_symlink(served));
    EXPECT_EQ("shared bytes", ReadBytes(served));
    RemoveFolder(release);
    RemoveFolder(elsewhere);
    RemoveFolder(out);
}

TEST(PublishNativeRefusals, OutputReachedThroughALinkIsStillInside) {
    fs::path release = MakeRelease();
    fs::path links = NewFolder("links");
    fs::create_directory_symlink(release, links / "release-link");
    PublisherRun run = RunPublisher({release, "1.32.0", links / "release-link" / "out"});
    EXPECT_EQ(3, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("one in the other")) << run.output;
    EXPECT_FALSE(fs::exists(release / "out"));
    RemoveFolder(release);
    RemoveFolder(links);
}

TEST(PublishNativeRefusals, KeyReachedThroughALinkIsNeverPublished) {
    fs::path keys = NewFolder("keys");
    fs::path out = NewFolder("out");
    PublisherRun made = RunPublisher({"keygen", keys / "release.pem", keys / "release.pub"});
    ASSERT_EQ(0, made.exitCode) << made.output;
    for (bool hard : {false, true}) {
        fs::path release = MakeRelease();
        fs::create_directory(release / "config");
        if (hard) {
            fs::create_hard_link(keys / "release.pem", release / "config" / "config.pem");
        } else {
            fs::create_symlink("../../keys/release.pem", release / "config" / "config.pem");
            fs::rename(release, release.parent_path() / "release-linked");
            release = release.parent_path() / "release-linked";
            fs::remove(release / "config" / "config.pem");
            fs::create_symlink(keys / "release.pem", release / "config" / "config.pem");
        }
        PublisherRun run = RunPublisher({release, "1.31.0", out, "--sign", keys / "release.pem"});
        EXPECT_EQ(3, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("private key")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("config\\config.pem")) << run.output;
        EXPECT_FALSE(fs::exists(out / "update"));
        RemoveFolder(release);
    }
    RemoveFolder(keys);
    RemoveFolder(out);
}

TEST(PublishNativeRefusals, UnreadableFileOrPackageIsARefusal) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
    fs::path release = MakeRelease();
    fs::path out = NewFolder("out");
    fs::path package = NewFolder("package") / "pkg.exe";
    WriteBytes(package, "MZ package");
    chmod(package.c_str(), 0);
    PublisherRun noPackage = RunPublisher({release, "1.32.0", out, "--package", package});
    EXPECT_EQ(3, noPackage.exitCode) << noPackage.output;
    EXPECT_NE(std::string::npos, noPackage.output.find("cannot be read")) << noPackage.output;
    chmod((release / "readme.txt").c_str(), 0);
    PublisherRun unreadable = RunPublisher({release, "1.32.0", out});
    EXPECT_EQ(3, unreadable.exitCode) << unreadable.output;
    EXPECT_NE(std::string::npos, unreadable.output.find("file cannot be read: readme.txt"))
        << unreadable.output;
    EXPECT_FALSE(fs::exists(out / "update"));
    chmod(package.c_str(), 0600);
    chmod((release / "readme.txt").c_str(), 0600);
    RemoveFolder(package.parent_path());
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishNativeFailures, AnotherFileSystemBelowTheOutputIsRefusedUpFront) {
    fs::path elsewhere = fs::path("/dev/shm") / ("veldra-publish-" + std::to_string(getpid()));
    struct stat shm = {}, temp = {};
    if (stat("/dev/shm", &shm) != 0 || stat(fs::temp_directory_path().c_str(), &temp) != 0 ||
        shm.st_dev == temp.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    fs::path release = MakeRelease();
    fs::path out = NewFolder("out");
    fs::create_directories(elsewhere / "update");
    fs::create_directory_symlink(elsewhere / "update", out / "update");
    PublisherRun run = RunPublisher({release, "1.32.0", out});
    EXPECT_EQ(4, run.exitCode) << run.output;
    // Refused before anything is staged, rather than failing at the first rename.
    EXPECT_NE(std::string::npos, run.output.find("must be one file system")) << run.output;
    EXPECT_TRUE(fs::is_empty(elsewhere / "update"));
    EXPECT_FALSE(fs::exists(out / "index3.php"));
    EXPECT_FALSE(fs::exists(out / ".staging"));
    RemoveFolder(elsewhere);
    RemoveFolder(release);
    RemoveFolder(out);
}

TEST(PublishNativeFailures, WarnsWhenOtherUsersCannotRead) {
    fs::path release = MakeRelease();
    for (mode_t mask : {077, 022}) {
        fs::path out = NewFolder("out");
        mode_t previous = umask(mask);
        PublisherRun run = RunPublisher({release, "1.32.0", out});
        umask(previous);
        EXPECT_EQ(0, run.exitCode) << run.output;
        bool warned = run.output.find(
                          "warning: other users cannot read the published tree "
                          "(umask 077") != std::string::npos;
        EXPECT_EQ(mask == 077, warned) << run.output;
        RemoveFolder(out);
    }
    RemoveFolder(release);
}
