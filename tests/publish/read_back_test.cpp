// A published tree read back by the updater's own file list step and
// downloads, over a loopback server (Windows build only: that is the updater).
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/md5.h"
#include "tests/http_test_server.h"
#include "tests/publish/publisher_run.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string CHINESE_PATH =
    "\xE6\x95\xB0\xE6\x8D\xAE\\\xE8\xAF\xB4\xE6\x98\x8E \xE6\x96\x87\xE4\xBB\xB6.txt";

std::map<std::string, std::string> SampleFiles() {
    return {
        {"config\\config.ini", "ver=1.32.0\r\n"},
        {"bin\\render.dll", std::string(3000, 'd') + "1.32"},
        {"readme.txt", "release 1.32.0\n"},
        {CHINESE_PATH, "\xE4\xB8\xAD\xE6\x96\x87 content"},
    };
}

ProcessResult RunDriver(const fs::path& product, const HttpTestServer& server, bool download) {
    fs::path driver = product / "publish_fetch_driver.exe";
    CopyFileW((BinDir() + L"publish_fetch_driver.exe").c_str(), driver.c_str(), FALSE);
    std::wstring line = L"\"" + driver.wstring() + L"\" " + server.baseUrl() + L" 1.32" +
                        (download ? L" download" : L"");
    return RunProcess(line, product.wstring() + L"\\");
}

}  // namespace

class PublishReadBack : public ::testing::Test {
  protected:
    void SetUp() override {
        release_ = NewFolder("release");
        for (const auto& [path, bytes] : SampleFiles()) WriteBytes(release_ / PathOf(path), bytes);
        WriteBytes(release_ / "veldra.exe", "MZ demo product");
        out_ = NewFolder("out");
        PublisherRun run = RunPublisher({release_, "1.32.0", out_});
        ASSERT_EQ(0, run.exitCode) << run.output;
        ASSERT_TRUE(server_.Start());
        server_.ServeDirectory(out_.wstring() + L"\\");
        product_ = NewFolder("product");
    }
    void TearDown() override {
        server_.Stop();
        RemoveFolder(release_);
        RemoveFolder(out_);
        RemoveFolder(product_);
    }
    fs::path release_;
    fs::path out_;
    fs::path product_;
    HttpTestServer server_;
};

TEST_F(PublishReadBack, FreshFolderQueuesEveryListedFile) {
    ProcessResult run = RunDriver(product_, server_, false);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("first read=1 count=4")) << run.output;
    for (const auto& [path, bytes] : SampleFiles()) {
        EXPECT_NE(std::string::npos, run.output.find(Md5Hex(bytes) + " " + path)) << run.output;
    }
    EXPECT_EQ(ReadBytes(out_ / "update" / "1.3" / "comm" / "file.lst"),
              ReadBytes(product_ / "comm" / "file.lst"));
}

TEST_F(PublishReadBack, CopyOfTheReleaseQueuesNone) {
    for (const auto& [path, bytes] : SampleFiles()) WriteBytes(product_ / PathOf(path), bytes);
    ProcessResult run = RunDriver(product_, server_, false);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("first read=1 count=0")) << run.output;
}

TEST_F(PublishReadBack, ChineseNamesDownloadIntoPlace) {
    ProcessResult run = RunDriver(product_, server_, true);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("again read=1 count=0")) << run.output;
    for (const auto& [path, bytes] : SampleFiles()) {
        EXPECT_EQ(bytes, ReadBytes(product_ / PathOf(path))) << path;
    }
    std::string requests;
    for (const auto& request : server_.requests()) requests += request + "\n";
    EXPECT_EQ(0u, server_.requestCount("/update/1.3/veldra.exe")) << requests;
}
