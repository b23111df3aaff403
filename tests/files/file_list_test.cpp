#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/md5.h"
#include "support/unique_handle.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"

namespace {

struct Queued {
    std::string md5;
    std::string path;
    bool read = false;  // read whole by the scan and found different
    bool operator==(const Queued& other) const {
        return md5 == other.md5 && path == other.path && read == other.read;
    }
};

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// A product folder with the driver copied in under the updater's name.
class FileListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start());
        root_ = MakeTempDir(L"files-root");
        ASSERT_FALSE(root_.empty());
        product_ = root_ + L"product\\";
        ASSERT_TRUE(CreateDirectoryW(product_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW((BinDir() + L"files_driver.exe").c_str(),
                              (product_ + L"veldraupdate.exe").c_str(), FALSE));
    }
    void TearDown() override {
        server_.Stop();
        RemoveTree(root_);
    }

    void ServeList(const std::string& body, const std::string& path = "/update/1.3/comm/file.lst") {
        server_.AddRoute(path, 200, body);
    }

    // Runs the driver; ok receives its result.
    std::vector<Queued> Fetch(const wchar_t* version, bool* ok = nullptr,
                              const std::string& announcedMd5 = std::string()) {
        std::wstring command =
            L"\"" + product_ + L"veldraupdate.exe\" fetch " + server_.baseUrl() + L" " + version;
        if (!announcedMd5.empty()) {
            command += L" " + std::wstring(announcedMd5.begin(), announcedMd5.end());
        }
        ProcessResult run = RunProcess(command, product_);
        EXPECT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut);
        std::vector<Queued> queue;
        bool result = false;
        size_t start = 0;
        while (start < run.output.size()) {
            size_t end = run.output.find('\n', start);
            if (end == std::string::npos) end = run.output.size();
            std::string line = run.output.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line == "ok=1") result = true;
            if (line.rfind("peak=", 0) == 0) peak_ = std::stoull(line.substr(5));
            if (line.rfind("Q ", 0) == 0) {
                size_t space = line.find(' ', 2);
                size_t flag = line.find(' ', space + 1);
                queue.push_back(Queued{line.substr(2, space - 2),
                                       Unhex(line.substr(space + 1, flag - space - 1)),
                                       flag != std::string::npos});
            }
            start = end + 1;
        }
        EXPECT_NE(std::string::npos, run.output.find("ok=")) << run.output;
        if (ok != nullptr) *ok = result;
        return queue;
    }

    HttpTestServer server_;
    std::wstring root_;
    std::wstring product_;
    unsigned long long peak_ = 0;  // the driver's most memory in its last run
};

const std::string CONTENT = "product file content\n";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

TEST_F(FileListTest, RequestsTheVersionDirectoryAndKeepsTheCopy) {
    std::string list = "a.txt=ABC=5\n";
    ServeList(list, "/update/1.3/comm/file.lst");
    server_.AddRoute("/update/0.0/comm/file.lst", 200, list);
    bool ok = false;
    Fetch(L"1.35", &ok);
    EXPECT_TRUE(ok);
    Fetch(L"0", &ok);
    EXPECT_TRUE(ok);
    std::vector<std::string> requests = server_.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("/update/1.3/comm/file.lst", requests[0]);
    EXPECT_EQ("/update/0.0/comm/file.lst", requests[1]);
    EXPECT_EQ(list, ReadBytes(product_ + L"comm\\file.lst"));
}

TEST_F(FileListTest, QueuesWhatIsMissingOrDiffers) {
    std::string md5 = Md5Hex(CONTENT);
    std::string size = std::to_string(CONTENT.size());
    ASSERT_TRUE(WriteBytes(product_ + L"up.txt", CONTENT));
    ASSERT_TRUE(WriteBytes(product_ + L"lower.txt", CONTENT));
    ASSERT_TRUE(WriteBytes(product_ + L"sub\\same.txt", CONTENT));
    ASSERT_TRUE(WriteBytes(product_ + L"held.txt", CONTENT));
    std::string list = "up.txt=" + md5 + "=" + size + "\n" +            // current: not queued
                       "lower.txt=" + Lower(md5) + "=" + size + "\n" +  // lowercase never matches
                       "sub/same.txt=" + md5 + "=" + size + "\r\n" +    // current, CR LF line
                       "missing.txt=ABC=5\n" +                          // empty file created
                       "nodir/missing.txt=ABC=5\n" +                    // nothing created
                       "zero.txt=ABC=0\n" + "letter.txt=ABC=x12\n" +    // unusable sizes
                       "twelve.txt=ABC=12x\n" +                         // size 12
                       "bin/a.dll==ABC=12\n" + "two=fields\n" + "a=b=12=7\n" + "dup.txt=D=3\n" +
                       "dup.txt=D=3\n" +                     // listed twice, queued twice
                       "Bin/VeldraUpdate.EXE.bak=ABC=5\n" +  // the running updater
                       "./~TMP.BAK=ABC=5\n" + "sub\\~tmp.1-2-3.new=ABC=5\n" +  // the updater's own
                       "held.txt=" + md5 + "=" + size + "\n";  // open for writing elsewhere
    ServeList(list);
    // Another process writing the file: the measurement cannot open it.
    UniqueHandle held(CreateFileW((product_ + L"held.txt").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    // Staged by a process that has ended: the scan clears it away.
    ASSERT_TRUE(WriteBytes(product_ + L"sub\\~tmp.7ffffff0-1-2.new", "never put in place"));
    bool ok = false;
    std::vector<Queued> queue = Fetch(L"1.31", &ok);
    held.reset();
    EXPECT_TRUE(ok);
    std::vector<Queued> expected = {
        {Lower(md5), "lower.txt", true},
        {"ABC", "missing.txt"},
        {"ABC", "nodir/missing.txt"},
        {"ABC", "twelve.txt"},
        {"ABC", "bin/a.dll"},
        {"D", "dup.txt"},
        {"D", "dup.txt"},
        {md5, "held.txt"},
    };
    EXPECT_EQ(expected, queue);
    EXPECT_TRUE(FileExists(product_ + L"missing.txt"));
    EXPECT_EQ("", ReadBytes(product_ + L"missing.txt"));
    EXPECT_FALSE(FileExists(product_ + L"nodir"));
    EXPECT_FALSE(FileExists(product_ + L"zero.txt"));
    EXPECT_FALSE(FileExists(product_ + L"Bin"));
    EXPECT_EQ(CONTENT, ReadBytes(product_ + L"held.txt"));
    EXPECT_FALSE(FileExists(product_ + L"~tmp.bak"));
    EXPECT_FALSE(FileExists(product_ + L"sub\\~tmp.7ffffff0-1-2.new"));
}

TEST_F(FileListTest, LineRulesOfTheTextFile) {
    std::string md5 = Md5Hex(CONTENT);
    std::string size = std::to_string(CONTENT.size());
    ASSERT_TRUE(WriteBytes(product_ + L"up.txt", CONTENT));
    // A byte-order mark stays part of the first path; two CR keep one; 0x1A ends the list.
    ServeList("\xEF\xBB\xBFup.txt=" + md5 + "=" + size + "\n\rone.txt=A=5\n\r\rtwo.txt=A=5\n" +
              "last.txt=A=5\n\x1A\nafter.txt=A=5\n");
    bool ok = false;
    std::vector<Queued> queue = Fetch(L"1.3", &ok);
    EXPECT_TRUE(ok);
    std::vector<Queued> expected = {
        {md5, "\xEF\xBB\xBFup.txt"}, {"A", "one.txt"}, {"A", "\rtwo.txt"}, {"A", "last.txt"}};
    EXPECT_EQ(expected, queue);
}

TEST_F(FileListTest, PathsReachingOutsideAreSkippedLeadingSeparatorsStayInside) {
    ServeList(
        "..\\outside1.txt=A=5\nsub/../../outside2.txt=A=5\n../outside3.txt=A=5\n"
        "C:\\outside4.txt=A=5\nsub/.../outside6.txt=A=5\nx.txt:stream=A=5\ninside.txt=A=5\n"
        "/lead.txt=A=5\n\\\\host\\share\\y.txt=A=5\n");
    ASSERT_TRUE(CreateDirectoryW((product_ + L"sub").c_str(), nullptr));
    bool ok = false;
    std::vector<Queued> queue = Fetch(L"1.3", &ok);
    EXPECT_TRUE(ok);
    std::vector<Queued> expected = {
        {"A", "inside.txt"}, {"A", "/lead.txt"}, {"A", "\\\\host\\share\\y.txt"}};
    EXPECT_EQ(expected, queue);
    for (int i = 1; i <= 6; ++i) {
        std::wstring name = L"outside" + std::to_wstring(i) + L".txt";
        EXPECT_FALSE(FileExists(root_ + name)) << i;
        EXPECT_FALSE(FileExists(product_ + name)) << i;
    }
    EXPECT_FALSE(FileExists(product_ + L"x.txt"));
    EXPECT_TRUE(FileExists(product_ + L"inside.txt"));
    // Measured where the product folder puts them.
    EXPECT_TRUE(FileExists(product_ + L"lead.txt"));
    EXPECT_FALSE(FileExists(root_ + L"lead.txt"));
}

TEST_F(FileListTest, FailedFetchUsesTheOldCopy) {
    bool ok = true;
    // No copy and no list on the server.
    EXPECT_TRUE(Fetch(L"1.3", &ok).empty());
    EXPECT_FALSE(ok);
    ASSERT_TRUE(WriteBytes(product_ + L"comm\\file.lst", "old.txt=A=5\n"));
    std::vector<Queued> expected = {{"A", "old.txt"}};
    EXPECT_EQ(expected, Fetch(L"1.3", &ok));
    EXPECT_TRUE(ok);
    // An empty body is no list either: the old copy stays.
    ServeList("");
    EXPECT_EQ(expected, Fetch(L"1.3", &ok));
    EXPECT_EQ("old.txt=A=5\n", ReadBytes(product_ + L"comm\\file.lst"));
    // Neither an error page nor a cut-off body becomes the list.
    server_.AddRoute("/update/1.3/comm/file.lst", 404, "<html>a=b=5</html>\n");
    EXPECT_EQ(expected, Fetch(L"1.3", &ok));
    HttpTestResponse cut;
    cut.body = "cut.txt=A=5\n";
    cut.behaviour = HttpTestResponse::CutShort;
    server_.AddRoute("/update/1.3/comm/file.lst", cut);
    EXPECT_EQ(expected, Fetch(L"1.3", &ok));
    EXPECT_EQ("old.txt=A=5\n", ReadBytes(product_ + L"comm\\file.lst"));
}

// Cut short without a length to tell it, a list reads as complete: the digest
// the service announced decides, and without one the list is taken as sent.
TEST_F(FileListTest, AListWithoutACheckedLengthIsTakenOnlyWithTheAnnouncedDigest) {
    const std::string whole = "a.txt=A=5\nb.txt=B=5\nc.txt=C=5\n";
    const std::string md5 = Md5Hex(whole);
    const std::vector<Queued> old = {{"A", "old.txt"}};
    const std::vector<Queued> all = {{"A", "a.txt"}, {"B", "b.txt"}, {"C", "c.txt"}};
    bool ok = false;
    for (HttpTestResponse::Framing framing :
         {HttpTestResponse::Chunked, HttpTestResponse::UntilClose}) {
        ASSERT_TRUE(WriteBytes(product_ + L"comm\\file.lst", "old.txt=A=5\n"));
        HttpTestResponse cut;
        cut.framing = framing;
        cut.behaviour = HttpTestResponse::CutShort;
        cut.body = whole.substr(0, 14);
        server_.AddRoute("/update/1.3/comm/file.lst", cut);
        EXPECT_EQ(old, Fetch(L"1.3", &ok, md5)) << framing;
        EXPECT_EQ("old.txt=A=5\n", ReadBytes(product_ + L"comm\\file.lst"));
        // A lowercase digest is none at all.
        EXPECT_EQ(1u, Fetch(L"1.3", &ok, Lower(md5)).size()) << framing;
        EXPECT_EQ(whole.substr(0, 14), ReadBytes(product_ + L"comm\\file.lst"));

        HttpTestResponse complete;
        complete.framing = framing;
        complete.body = whole;
        server_.AddRoute("/update/1.3/comm/file.lst", complete);
        EXPECT_EQ(all, Fetch(L"1.3", &ok, md5)) << framing;
        EXPECT_TRUE(ok);
    }
    // With its length checked the list needs no digest to be taken.
    ASSERT_TRUE(WriteBytes(product_ + L"comm\\file.lst", "old.txt=A=5\n"));
    ServeList(whole);
    EXPECT_EQ(all, Fetch(L"1.3", &ok, Md5Hex(std::string("another list"))));
}

TEST_F(FileListTest, EmptyListsGiveAnEmptyQueueInBoundedMemory) {
    ASSERT_TRUE(WriteBytes(product_ + L"comm\\file.lst", ""));
    bool ok = false;
    EXPECT_TRUE(Fetch(L"1.3", &ok).empty());
    EXPECT_TRUE(ok);
    // A list of nothing but line ends costs no memory per line.
    // 64 MiB of line ends were 2 GiB as a list of lines; read line by line, less than the list.
    ServeList(std::string(64u << 20, '\n'));
    EXPECT_TRUE(Fetch(L"1.3", &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(64u << 20, ReadBytes(product_ + L"comm\\file.lst").size());
    EXPECT_LT(peak_, 64ull << 20);
}

// Two updaters at once on one folder, each fetching files of its own: every
// fetch reported whole has the right bytes, no file ever holds the other's,
// and nothing of either is left behind.
TEST_F(FileListTest, TwoProcessesFetchingIntoOneFolderNeverMixBytes) {
    constexpr int kFiles = 60;
    const std::wstring served = root_ + L"served\\";
    ASSERT_TRUE(CreateDirectoryW(served.c_str(), nullptr));
    for (const wchar_t* prefix : {L"a", L"b"}) {
        for (int i = 0; i < kFiles; ++i) {
            const std::wstring name = prefix + std::to_wstring(i);
            const std::string narrow(name.begin(), name.end());
            ASSERT_TRUE(
                WriteBytes(served + name, std::string(20000 + 997 * i, narrow[0]) + narrow));
            ASSERT_TRUE(WriteBytes(product_ + name, "old " + narrow));
        }
    }
    server_.ServeDirectory(served);
    ProcessResult runs[2];
    std::thread children[2];
    for (int c = 0; c < 2; ++c) {
        // Folders without their last separator: "\\\"" would quote the quote.
        const std::wstring command = L"\"" + product_ + L"veldraupdate.exe\" download " +
                                     server_.baseUrl() + L" \"" +
                                     served.substr(0, served.size() - 1) + L"\" \"" +
                                     product_.substr(0, product_.size() - 1) + L"\" " +
                                     (c == 0 ? L"a" : L"b") + L" " + std::to_wstring(kFiles);
        children[c] = std::thread(
            [&runs, c, command, this] { runs[c] = RunProcess(command, product_, 120000); });
    }
    for (std::thread& child : children) child.join();
    for (const ProcessResult& run : runs) {
        EXPECT_NE(run.output.find("failed=0 wrong=0"), std::string::npos) << run.output;
        const size_t pid = run.output.find("pid=");
        ASSERT_NE(pid, std::string::npos) << run.output;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        const std::string id = run.output.substr(pid + 4, run.output.find(' ', pid) - pid - 4);
        EXPECT_FALSE(AnyFileMatches(
            temp + (L"~veldraupdate." + std::wstring(id.begin(), id.end())) + L"-*.tmp"));
    }
    EXPECT_FALSE(AnyFileMatches(product_ + L"~tmp.*.new"));
}
