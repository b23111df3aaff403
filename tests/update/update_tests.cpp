// Version check, main program fetch, replacement and the whole worker, each run
// by a driver copied into its own product folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/shell_texts.h"
#include "engine/version_check.h"
#include "support/md5.h"
#include "support/unique_handle.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"
#include "support/encoding.h"

namespace {

constexpr wchar_t BOX_CAPTION[] = L"Veldra更新程序!";
constexpr DWORD BOX_WAIT_MS = 20000;
constexpr int DRIVER_RETURNED = 3;

const char* const VERSION_PATH_EN = "/index3.php/Ver2Control/0/0/0";
const char* const VERSION_PATH_ZH = "/index3.php/Ver2Control/0/0/1";

// Independent of the engine: the bitwise form of the reflected CRC-32.
uint32_t Crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

std::string Tag(const std::string& bytes) {
    char text[16] = {};
    std::snprintf(text, sizeof(text), "%X", static_cast<unsigned>(Crc32(bytes) ^ 0x5E2B71C4u));
    return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string ProductBytes() { return ReadBytes(BinDir() + L"veldra-test-product.exe"); }

// The new program: the test product with an overlay, so it still runs but
// differs from the old one byte for byte.
std::string NewProductBytes() { return ProductBytes() + "NEW-PROGRAM-OVERLAY"; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// A product folder holding the driver.
class ProductFolder {
  public:
    ProductFolder() : dir_(MakeTempDir(L"update")) {
        CopyFileW((BinDir() + L"update_driver.exe").c_str(), (dir_ + L"update_driver.exe").c_str(),
                  FALSE);
    }
    ~ProductFolder() { RemoveTree(dir_); }
    const std::wstring& dir() const { return dir_; }
    std::wstring path(const std::wstring& name) const { return dir_ + name; }
    void Write(const std::wstring& name, const std::string& bytes) const {
        ASSERT_TRUE(WriteBytes(path(name), bytes));
    }
    std::string Read(const std::wstring& name) const { return ReadBytes(path(name)); }
    bool Has(const std::wstring& name) const { return FileExists(path(name)); }
    void SetInstalled(const std::string& ver) const {
        Write(L"config\\config.ini", "ver=" + ver + "\r\n");
    }

    ProcessResult Run(const std::string& arguments, DWORD timeoutMs = 60000) const {
        std::wstring line = L"\"" + path(L"update_driver.exe") + L"\" " +
                            std::wstring(arguments.begin(), arguments.end());
        ProcessResult result = RunProcess(line, dir_, timeoutMs);
        // Text-mode output: compare lines without their CR.
        result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'),
                            result.output.end());
        return result;
    }

  private:
    std::wstring dir_;
};

class VersionCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    void Reply(const std::string& body) {
        server.AddRoute(VERSION_PATH_EN, 200, body);
        server.AddRoute(VERSION_PATH_ZH, 200, body);
    }
    std::string Check() { return folder.Run("check-version " + server.host()).output; }

    HttpTestServer server;
    ProductFolder folder;
};

TEST_F(VersionCheckTest, ForcedStatusIsKeptWhateverTheVersions) {
    folder.SetInstalled("1.31.2");
    Reply(R"({"status":3432,"lastVer":50,"skinmd5":"ABC"})");
    EXPECT_NE(Check().find("status=3432 serverVersion=0 "), std::string::npos);
}

TEST_F(VersionCheckTest, NewerServerVersionInSinglePrecision) {
    folder.SetInstalled("1.31.2");
    Reply(R"({"status":0,"lastVer":145,"newmd5":"PKG","skinmd5":""})");
    const std::string output = Check();
    EXPECT_NE(output.find("status=3431 serverVersion=1.4500000476837158 serverBuild=0 listMd5=[] "
                          "packageMd5=[PKG]"),
              std::string::npos)
        << output;
}

TEST_F(VersionCheckTest, SameVersionPrintedAgainGivesNewVersion) {
    folder.SetInstalled("1.32.0");
    Reply(R"({"status":0,"lastVer":132})");
    EXPECT_NE(Check().find("status=3431 serverVersion=1.3200000524520874 "), std::string::npos);
}

TEST_F(VersionCheckTest, ThousandsAndHundredsScales) {
    folder.SetInstalled("99.0.0");
    Reply(R"({"lastVer":1310})");
    EXPECT_NE(Check().find("serverVersion=1.309999942779541 "), std::string::npos);
    Reply(R"({"lastVer":1000})");
    EXPECT_NE(Check().find("serverVersion=10 "), std::string::npos);
    Reply(R"({"lastVer":100})");
    EXPECT_NE(Check().find("status=0 serverVersion=0 "), std::string::npos);
}

TEST_F(VersionCheckTest, ListDigestDecidesWhenVersionsDoNotDiffer) {
    const std::string list = "bin/a.dll=0123456789ABCDEF0123456789ABCDEF=5\n";
    const std::string digest = Md5Hex(list);
    folder.SetInstalled("1.31.2");
    folder.Write(L"comm\\file.lst", list);
    Reply(R"({"status":0,"lastVer":131,"skinmd5":")" + digest + R"("})");
    EXPECT_NE(Check().find("status=0 serverVersion=1.309999942779541 "), std::string::npos);

    std::string lower = digest;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Reply(R"({"status":0,"lastVer":131,"skinmd5":")" + lower + R"("})");
    EXPECT_NE(Check().find("status=3420 "), std::string::npos);

    folder.Write(L"comm\\file.lst", list + "x");
    Reply(R"({"status":0,"lastVer":131,"skinmd5":")" + digest + R"("})");
    EXPECT_NE(Check().find("status=3420 "), std::string::npos);

    DeleteFileW(folder.path(L"comm\\file.lst").c_str());
    EXPECT_NE(Check().find("status=3420 "), std::string::npos);

    Reply(R"({"status":0,"lastVer":131,"skinmd5":""})");
    EXPECT_NE(Check().find("status=0 "), std::string::npos);
}

TEST_F(VersionCheckTest, NegativeInstalledBuildGivesNewBuild) {
    folder.SetInstalled("2.0.-1");
    Reply(R"({"status":0,"lastVer":200})");
    EXPECT_NE(Check().find("status=3430 serverVersion=2 "), std::string::npos);
}

TEST_F(VersionCheckTest, TwoPieceInstalledVersionCountsAsZero) {
    folder.SetInstalled("1.31");
    Reply(R"({"status":0,"lastVer":131})");
    EXPECT_NE(Check().find("status=3431 "), std::string::npos);
    folder.SetInstalled("1..31.5");  // empty pieces vanish: three pieces
    Reply(R"({"status":0,"lastVer":131})");
    EXPECT_NE(Check().find("status=0 "), std::string::npos);
}

TEST_F(VersionCheckTest, CommentsAndMissingStatusAreAccepted) {
    folder.SetInstalled("1.31.2");
    Reply("// reply\n{\"lastVer\":131, /* digest */ \"skinmd5\":\"\"} trailing");
    EXPECT_NE(Check().find("status=0 serverVersion=1.309999942779541 "), std::string::npos);
}

TEST_F(VersionCheckTest, UnusableRepliesLeaveTheRecordAsInitialised) {
    folder.SetInstalled("1.31.2");
    const char* const replies[] = {
        "not json",
        "",
        "[3431, 145]",
        "\"text\"",
        "null",
        R"({"status":"3431","lastVer":145,"skinmd5":"A"})",
        R"({"status":0,"lastVer":"145","skinmd5":"A"})",
        R"({"status":[1],"lastVer":145})",
        R"({"status":0,"lastVer":4000000000})",
        R"({"status":0,"lastVer":-2147483648.5})",
        R"({"status":0,"lastVer":145,"skinmd5":12})",
        R"({"status":0,"lastVer":145,"newmd5":{"a":1}})",
    };
    for (const char* reply : replies) {
        Reply(reply);
        const ProcessResult result = folder.Run("check-version " + server.host());
        EXPECT_EQ(result.exitCode, static_cast<DWORD>(DRIVER_RETURNED)) << reply;
        EXPECT_NE(result.output.find("status=-4 serverVersion=0 serverBuild=0 listMd5=[] "
                                     "packageMd5=[]"),
                  std::string::npos)
            << reply << "\n"
            << result.output;
    }
}

TEST_F(VersionCheckTest, NumbersConvertAsIntegersCutTowardZero) {
    folder.SetInstalled("1.31.2");
    Reply(R"({"status":0,"lastVer":145.5})");
    EXPECT_NE(Check().find("status=3431 serverVersion=1.4500000476837158 "), std::string::npos);
    Reply(R"({"status":3432.9,"lastVer":true})");
    EXPECT_NE(Check().find("status=3432 serverVersion=0 "), std::string::npos);
}

TEST_F(VersionCheckTest, UnreachableServiceLeavesTheRecordAsInitialised) {
    const std::string host = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::string output = folder.Run("check-version " + host).output;
    EXPECT_NE(output.find("status=-4 serverVersion=0 "), std::string::npos) << output;
}

TEST_F(VersionCheckTest, LanguageDigitFollowsTheSystemLanguage) {
    Reply(R"({"status":0})");
    Check();
    const char* lang = std::getenv("LANG");
    const bool chinese = lang && std::string(lang).rfind("zh", 0) == 0;
    EXPECT_EQ((GetSystemDefaultLangID() & 0xFF) == 4, chinese);
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], chinese ? VERSION_PATH_ZH : VERSION_PATH_EN);
}

// Replies made from the members the check reads, with values of every kind,
// then mutated byte by byte, all through the reply handling of one process.
TEST(VersionReplyFuzz, EveryReplyLeavesTheInitialRecordOrAnAllowedDecision) {
    std::mt19937 random(20261208);
    const auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };
    const std::vector<std::string> scalars = {"0",           "100",
                                              "101",         "131",
                                              "132",         "145",
                                              "1000",        "1001",
                                              "1310",        "3420",
                                              "3430",        "3431",
                                              "3432",        "-1",
                                              "2147483647",  "2147483648",
                                              "-2147483649", "4294967296",
                                              "145.5",       "-0.5",
                                              "1e10",        "1.7976931348623157e308",
                                              "1e-300",      std::string(400, '9'),
                                              "true",        "false",
                                              "null",        "\"3431\"",
                                              "\"\"",        "\"D41D8CD98F00B204E9800998ECF8427E\"",
                                              "\"\\u0000\"", "\"\xff\xfe\"",
                                              "[]",          "[1,[2]]",
                                              "{}",          "{\"a\":1}"};
    const std::vector<std::string> keys = {"status", "lastVer", "newmd5", "skinmd5", "other"};
    const auto nested = [&](size_t depth) {
        const bool arrays = pick(2) == 0;
        std::string text;
        for (size_t i = 0; i < depth; ++i) text += arrays ? "[" : "{\"a\":";
        text += "1";
        for (size_t i = 0; i < depth; ++i) text += arrays ? "]" : "}";
        return text;
    };
    const auto value = [&]() {
        return pick(20) == 0 ? nested(1 + pick(1500)) : scalars[pick(scalars.size())];
    };
    const auto reply = [&]() {
        if (pick(10) == 0) return value();
        std::string text = pick(8) == 0 ? "// comment\n{" : "{";
        const size_t members = pick(6);
        for (size_t i = 0; i < members; ++i) {
            if (i > 0) text += ",";
            text += "\"" + keys[pick(keys.size())] + "\":" + value();
        }
        return text + (pick(8) == 0 ? "} trailing" : "}");
    };
    const auto mutate = [&](std::string& text) {
        const size_t edits = pick(4);
        for (size_t i = 0; i < edits && !text.empty(); ++i) {
            const size_t at = pick(text.size());
            switch (pick(5)) {
                case 0:
                    text[at] = static_cast<char>(random());
                    break;
                case 1:
                    text.insert(at, 1, static_cast<char>(random()));
                    break;
                case 2:
                    text.erase(at, 1);
                    break;
                case 3:
                    text.resize(at);
                    break;
                default:
                    text.insert(0, "\xEF\xBB\xBF");
                    break;
            }
        }
    };

    size_t decided = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = reply();
        mutate(text);
        VersionCheckResult record;
        ApplyVersionReply(text, "1.31.2", record);
        const bool initial = record.status == STATUS_NOT_CHECKED && record.serverVersion == 0.0 &&
                             record.serverBuild == 0 && record.listMd5.empty() &&
                             record.packageMd5.empty();
        if (initial) continue;
        ++decided;
        ASSERT_EQ(record.serverBuild, 0) << text;
        // A "lastVer" above 100, divided in single precision; or nothing stored.
        ASSERT_TRUE(record.serverVersion == 0.0 ||
                    (record.serverVersion > 1.0 &&
                     record.serverVersion == static_cast<float>(record.serverVersion)))
            << text;
        if (record.status == STATUS_FORCED) continue;
        // No local list beside the test: any listed digest differs from it.
        const int32_t expected = record.serverVersion > 1.31 ? STATUS_NEW_VERSION
                                 : record.listMd5.empty()    ? STATUS_UP_TO_DATE
                                                             : STATUS_LIST_CHANGED;
        ASSERT_EQ(record.status, expected) << text;
    }
    // The generator reaches both outcomes, not just refusals.
    EXPECT_GT(decided, 1000u);
    EXPECT_LT(decided, 19000u);
}

class MainProgramTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    std::string Fetch(const std::string& build, const std::string& version) {
        return folder.Run("fetch-main " + Narrow(server.baseUrl()) + " " + build + " " + version)
            .output;
    }
    std::string ReadRecord() { return folder.Run("read-record").output; }

    HttpTestServer server;
    ProductFolder folder;
};

TEST_F(MainProgramTest, FetchWritesProgramAndRecordLine) {
    const std::string program = "new main program bytes";
    server.AddRoute("/update/1.0/veldra.exe", 200, program);
    EXPECT_NE(Fetch("0", "1.31").find("title=/update/1.0/veldra.exe"), std::string::npos);
    EXPECT_EQ(folder.Read(L"~tmp.bak"), program);
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "1.0.0=" + Tag(program));
    char expected[64] = {};
    std::snprintf(expected, sizeof(expected),
                  "record version=%.17g build=0 tag=", 1.0 + 0.0 / 100.0 + 0.0000001);
    EXPECT_NE(ReadRecord().find(expected + Tag(program) + "\n"), std::string::npos);
}

TEST_F(MainProgramTest, MajorVersionInThePath) {
    server.AddRoute("/update/12.0/veldra.exe", 200, "twelve");
    EXPECT_NE(Fetch("3", "12.5").find("title=/update/12.0/veldra.exe"), std::string::npos);
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "12.0.3=" + Tag("twelve"));
    EXPECT_NE(Fetch("0", "0").find("title=/update/0.0/veldra.exe"), std::string::npos);
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], "/update/0.0/veldra.exe");
}

TEST_F(MainProgramTest, FailedFetchWithoutProgramGivesNoValidRecord) {
    Fetch("0", "1.31");
    EXPECT_FALSE(folder.Has(L"~tmp.bak") && !folder.Read(L"~tmp.bak").empty());
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "1.0.0=");
    EXPECT_NE(ReadRecord().find("record=none"), std::string::npos);
}

TEST_F(MainProgramTest, RecordOfAnotherMajorVersionIsLeftInPlace) {
    const std::string old = "program of version two";
    folder.Write(L"~tmp.bak", old);
    folder.Write(L"~tmp.md5", "2.0.0=" + Tag(old));
    Fetch("0", "1.31");  // nothing served: ~tmp.bak keeps its bytes
    EXPECT_EQ(folder.Read(L"~tmp.bak"), old);
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "2.0.0=" + Tag(old));
}

TEST_F(MainProgramTest, RecordOfLowerBuildIsLeftAndChangedBytesAreRecordedAgain) {
    const std::string old = "program of build one";
    folder.Write(L"~tmp.bak", old);
    folder.Write(L"~tmp.md5", "1.0.1=" + Tag(old));
    Fetch("2", "1.31");
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "1.0.1=" + Tag(old));

    // Bytes that no longer match their record get a fresh one.
    server.AddRoute("/update/1.0/veldra.exe", 200, "fresh bytes");
    Fetch("2", "1.31");
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "1.0.2=" + Tag("fresh bytes"));
}

TEST_F(MainProgramTest, ReadBackOfHundredthsAndMalformedShapes) {
    const std::string program = "some program";
    folder.Write(L"~tmp.bak", program);
    const std::string tag = Tag(program);
    folder.Write(L"~tmp.md5", "1.31.4=" + tag);
    char expected[64] = {};
    std::snprintf(expected, sizeof(expected),
                  "record version=%.17g build=4 tag=", 1.0 + 31.0 / 100.0 + 0.0000001);
    EXPECT_NE(ReadRecord().find(expected + tag), std::string::npos);

    const std::string malformed[] = {
        "",
        "1.0.0",
        "1.0.0" + tag,
        "1.0.0=",
        "1.0.0=" + tag + "=X",
        "1.0=" + tag,
        "1.0.0.0=" + tag,
        "1.0.0=" + tag + "0",
        "1.0.0=" + tag.substr(1),
    };
    for (const std::string& line : malformed) {
        folder.Write(L"~tmp.md5", line);
        EXPECT_NE(ReadRecord().find("record=none"), std::string::npos) << line;
    }
    DeleteFileW(folder.path(L"~tmp.md5").c_str());
    EXPECT_NE(ReadRecord().find("record=none"), std::string::npos);
}

TEST(ChecksumTagTest, ShortTagsHaveNoLeadingZeros) {
    // Search a content whose masked CRC is below 0x10000000.
    std::string content;
    for (int i = 0; i < 100000; ++i) {
        content = "x" + std::to_string(i);
        if ((Crc32(content) ^ 0x5E2B71C4u) < 0x10000000u) break;
    }
    ASSERT_LT(Tag(content).size(), 8u);
    ProductFolder folder;
    folder.Write(L"~tmp.bak", content);
    folder.Write(L"~tmp.md5", "1.0.0=" + Tag(content));
    EXPECT_NE(folder.Run("read-record").output.find("build=0 tag=" + Tag(content) + "\n"),
              std::string::npos);
}

// A message box of the replacement, found by its caption.
HWND WaitForBox(DWORD timeoutMs, HWND other = nullptr) {
    HWND box = nullptr;
    WaitFor(
        [&] {
            box = FindWindowW(L"#32770", BOX_CAPTION);
            return box != nullptr && box != other && IsWindowVisible(box);
        },
        timeoutMs);
    return box != other ? box : nullptr;
}

BOOL CALLBACK CollectText(HWND child, LPARAM collected) {
    wchar_t text[512] = {};
    GetWindowTextW(child, text, 512);
    *reinterpret_cast<std::wstring*>(collected) += text;
    return TRUE;
}

std::wstring BoxText(HWND box) {
    std::wstring text;
    EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
    return text;
}

void Answer(HWND box, int button) { PostMessageW(box, WM_COMMAND, button, 0); }

struct StartedProgram {
    UniqueHandle process;
};

// Starts the old product so that it holds its own file until release.txt appears.
StartedProgram StartHoldingProduct(const ProductFolder& folder) {
    StartedProgram started;
    std::wstring line = L"\"" + folder.path(L"veldra.exe") + L"\" --hold-ms 60000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.dir().c_str(),
                       &startup, &info)) {
        CloseHandle(info.hThread);
        started.process.reset(info.hProcess);
    }
    return started;
}

class ReplacementTest : public ::testing::Test {
  protected:
    void SetUp() override {
        oldProgram = ProductBytes();
        newProgram = NewProductBytes();
        ASSERT_FALSE(oldProgram.empty());
    }
    void PreparePending() {
        folder.Write(L"veldra.exe", oldProgram);
        folder.Write(L"~tmp.bak", newProgram);
        folder.Write(L"~tmp.md5", "1.0.0=" + Tag(newProgram));
    }
    void ExpectUntouched() {
        EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
        EXPECT_EQ(folder.Read(L"~tmp.bak"), newProgram);
        EXPECT_EQ(folder.Read(L"~tmp.md5"), "1.0.0=" + Tag(newProgram));
    }
    // The new program has started when it appends its line to started.txt.
    void ExpectReplacedAndStarted(const ProcessResult& result) {
        EXPECT_EQ(result.exitCode, 0u) << result.output;
        EXPECT_EQ(result.output.find("replace="), std::string::npos) << result.output;
        EXPECT_EQ(folder.Read(L"veldra.exe"), newProgram);
        EXPECT_FALSE(folder.Has(L"~tmp.bak"));
        EXPECT_FALSE(folder.Has(L"~tmp.md5"));
        ASSERT_TRUE(WaitFor([&] { return !NewProgramStarts().empty(); }, 20000));
        const std::string line = NewProgramStarts().back();
        std::string dir = WideToUtf8Paired(folder.dir());
        EXPECT_NE(line.find(WideToUtf8Paired(folder.path(L"veldra.exe")) + "|"), std::string::npos)
            << line;
        // Working directory: the product folder (reported without its last separator).
        EXPECT_NE(line.find("|" + dir.substr(0, dir.size() - 1) + "|"), std::string::npos) << line;
    }
    // Lines of started.txt from runs without the hold option: the launches.
    std::vector<std::string> NewProgramStarts() {
        std::vector<std::string> starts;
        for (const std::string& line : Lines(folder.Read(L"started.txt"))) {
            if (line.find("--hold-ms") == std::string::npos) starts.push_back(line);
        }
        return starts;
    }

    ProductFolder folder;
    std::string oldProgram;
    std::string newProgram;
};

TEST_F(ReplacementTest, NoPendingFile) {
    folder.Write(L"veldra.exe", oldProgram);
    const ProcessResult result = folder.Run("replace");
    EXPECT_NE(result.output.find("replace=2"), std::string::npos) << result.output;
    EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
    EXPECT_FALSE(folder.Has(L"started.txt"));
}

TEST_F(ReplacementTest, InvalidRecordTouchesNothing) {
    PreparePending();
    for (const std::string& record : {std::string(), std::string("1.0.0="),
                                      std::string("1.0.0=") + Tag(oldProgram), std::string("x")}) {
        folder.Write(L"~tmp.md5", record);
        const ProcessResult result = folder.Run("replace");
        EXPECT_NE(result.output.find("replace=1"), std::string::npos) << record;
        EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
        EXPECT_EQ(folder.Read(L"~tmp.bak"), newProgram);
        EXPECT_EQ(folder.Read(L"~tmp.md5"), record);
    }
    DeleteFileW(folder.path(L"~tmp.md5").c_str());
    EXPECT_NE(folder.Run("replace").output.find("replace=1"), std::string::npos);
    EXPECT_FALSE(folder.Has(L"started.txt"));
}

TEST_F(ReplacementTest, ReadOnlyUnlockedProgramIsReplacedWithoutBox) {
    PreparePending();
    SetFileAttributesW(folder.path(L"veldra.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    ExpectReplacedAndStarted(folder.Run("replace", 30000));
}

TEST_F(ReplacementTest, MissingProgramGetsThePendingOne) {
    PreparePending();
    DeleteFileW(folder.path(L"veldra.exe").c_str());
    ExpectReplacedAndStarted(folder.Run("replace", 30000));
}

TEST_F(ReplacementTest, LockedProgramAndNoKeepsEverything) {
    PreparePending();
    StartedProgram old = StartHoldingProduct(folder);
    ASSERT_TRUE(old.process.valid());
    ASSERT_TRUE(WaitFor([&] { return folder.Has(L"locked.txt"); }, 20000));

    ProcessResult result;
    std::thread driver([&] { result = folder.Run("replace", 60000); });
    HWND box = WaitForBox(BOX_WAIT_MS);
    EXPECT_NE(box, nullptr);
    if (box) {
        const std::wstring text = BoxText(box);
        EXPECT_NE(
            text.find(L"杀软拦截或者图纸已经被打开无法替换: " + folder.path(L"veldra.exe") + L", "),
            std::wstring::npos);
        EXPECT_NE(text.find(L"终止后按Y继续，按N取消更新"), std::wstring::npos);
        Answer(box, IDNO);
    }
    driver.join();
    folder.Write(L"release.txt", "");
    WaitForSingleObject(old.process.get(), 20000);

    EXPECT_NE(result.output.find("replace=-1"), std::string::npos) << result.output;
    ExpectUntouched();
    EXPECT_TRUE(NewProgramStarts().empty());
}

TEST_F(ReplacementTest, LockedProgramAskedAgainUntilReleasedThenReplaced) {
    PreparePending();
    StartedProgram old = StartHoldingProduct(folder);
    ASSERT_TRUE(old.process.valid());
    ASSERT_TRUE(WaitFor([&] { return folder.Has(L"locked.txt"); }, 20000));

    ProcessResult result;
    std::thread driver([&] { result = folder.Run("replace", 60000); });
    HWND first = WaitForBox(BOX_WAIT_MS);
    EXPECT_NE(first, nullptr);
    HWND second = nullptr;
    if (first) {
        Answer(first, IDYES);  // still locked: asked again
        WaitFor([&] { return !IsWindow(first); }, BOX_WAIT_MS);
        second = WaitForBox(BOX_WAIT_MS);
        EXPECT_NE(second, nullptr);
    }
    folder.Write(L"release.txt", "");
    EXPECT_EQ(WaitForSingleObject(old.process.get(), 20000), WAIT_OBJECT_0);
    if (second) Answer(second, IDYES);
    if (!first || !second) {
        // Do not leave the driver waiting in a box nobody answers.
        HWND box = WaitForBox(BOX_WAIT_MS);
        if (box) Answer(box, IDNO);
    }
    driver.join();
    ExpectReplacedAndStarted(result);
}

TEST_F(ReplacementTest, PendingProgramSameAsTheProductIsDroppedWithoutBox) {
    newProgram = oldProgram;
    PreparePending();
    // Held as a running product would hold it: a swap would have to ask.
    StartedProgram old = StartHoldingProduct(folder);
    ASSERT_TRUE(old.process.valid());
    ASSERT_TRUE(WaitFor([&] { return folder.Has(L"locked.txt"); }, 20000));
    const ProcessResult result = folder.Run("replace", 20000);
    folder.Write(L"release.txt", "");
    WaitForSingleObject(old.process.get(), 20000);
    EXPECT_FALSE(result.timedOut) << "a box was shown";
    EXPECT_NE(result.output.find("replace=3"), std::string::npos) << result.output;
    EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
    EXPECT_FALSE(folder.Has(L"~tmp.bak"));
    EXPECT_FALSE(folder.Has(L"~tmp.md5"));
}

TEST_F(ReplacementTest, FailedMoveKeepsTheOldProgram) {
    PreparePending();
    // Held without delete sharing, the pending file cannot be moved.
    UniqueHandle held(CreateFileW(folder.path(L"~tmp.bak").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    const ProcessResult result = folder.Run("replace", 30000);
    held.reset();
    EXPECT_NE(result.output.find("replace=-2"), std::string::npos) << result.output;
    ExpectUntouched();
    EXPECT_FALSE(folder.Has(L"started.txt"));
}

// The served side of a whole update run.
class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        oldProgram = ProductBytes();
        newProgram = NewProductBytes();
    }
    void Reply(const std::string& body) {
        server.AddRoute(VERSION_PATH_EN, 200, body);
        server.AddRoute(VERSION_PATH_ZH, 200, body);
    }
    // A list of one file, served for the version directory.
    void ServeList(const std::string& versionDirectory) {
        const std::string content = "listed file content";
        list = "data/readme.txt=" + Md5Hex(content) + "=" + std::to_string(content.size()) + "\n";
        server.AddRoute("/update/" + versionDirectory + "/comm/file.lst", 200, list);
        server.AddRoute("/update/" + versionDirectory + "/data/readme.txt", 200, content);
        listedContent = content;
    }
    ProcessResult RunWorker() {
        return folder.Run("worker " + server.host() + " " + Narrow(server.baseUrl()), 120000);
    }
    bool Started() {
        return WaitFor([&] { return !folder.Read(L"started.txt").empty(); }, 20000);
    }

    HttpTestServer server;
    ProductFolder folder;
    std::string oldProgram;
    std::string newProgram;
    std::string list;
    std::string listedContent;
};

TEST_F(WorkerTest, ListChangedWithProductPresentStartsItWithoutFetch) {
    folder.SetInstalled("1.31.2");
    folder.Write(L"veldra.exe", oldProgram);
    ServeList("1.3");
    Reply(R"({"status":0,"lastVer":131,"skinmd5":")" + Md5Hex(list) + R"("})");
    const ProcessResult result = RunWorker();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(result.output.find("worker-ended"), std::string::npos) << result.output;
    EXPECT_EQ(folder.Read(L"data\\readme.txt"), listedContent);
    EXPECT_EQ(folder.Read(L"comm\\file.lst"), list);
    EXPECT_EQ(server.requestCount("/update/1.0/veldra.exe"), 0u);
    EXPECT_FALSE(folder.Has(L"~tmp.bak"));
    EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
    EXPECT_TRUE(Started());
}

TEST_F(WorkerTest, NewBuildFetchesAndSwapsTheProgram) {
    folder.SetInstalled("2.0.-1");
    folder.Write(L"veldra.exe", oldProgram);
    ServeList("2.0");
    server.AddRoute("/update/2.0/veldra.exe", 200, newProgram);
    Reply(R"({"status":0,"lastVer":200})");
    const ProcessResult result = RunWorker();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(server.requestCount("/update/2.0/veldra.exe"), 1u);
    EXPECT_EQ(folder.Read(L"data\\readme.txt"), listedContent);
    EXPECT_EQ(folder.Read(L"veldra.exe"), newProgram);
    EXPECT_FALSE(folder.Has(L"~tmp.bak"));
    EXPECT_FALSE(folder.Has(L"~tmp.md5"));
    EXPECT_TRUE(Started());
}

// A second run on the folder waits for the first, swap included, then finds
// everything current.
TEST_F(WorkerTest, ASecondRunOnTheFolderWaitsForTheFirst) {
    folder.SetInstalled("2.0.-1");
    folder.Write(L"veldra.exe", oldProgram);
    ServeList("2.0");
    HttpTestResponse slow;
    slow.body = newProgram;
    slow.behaviour = HttpTestResponse::Trickle;
    slow.trickleBytes = newProgram.size() / 4 + 1;
    slow.trickleMs = 500;
    server.AddRoute("/update/2.0/veldra.exe", slow);
    Reply(R"({"status":0,"lastVer":200,"newmd5":")" + Md5Hex(newProgram) + R"("})");
    ProcessResult first;
    std::thread firstRun([&] { first = RunWorker(); });
    ASSERT_TRUE(WaitFor([&] { return server.requestCount("/update/2.0/veldra.exe") == 1; }, 30000));
    const ProcessResult second = RunWorker();
    firstRun.join();
    EXPECT_EQ(first.exitCode, 0u) << first.output;
    EXPECT_EQ(second.exitCode, 0u) << second.output;
    // Run alongside, the second would have fetched the program still being swapped in.
    EXPECT_EQ(server.requestCount("/update/2.0/data/readme.txt"), 1u);
    EXPECT_EQ(server.requestCount("/update/2.0/veldra.exe"), 1u);
    EXPECT_EQ(folder.Read(L"veldra.exe"), newProgram);
}

TEST_F(WorkerTest, NothingServedAndNoProductGivesTheButtonBack) {
    folder.SetInstalled("1.31.2");
    const ProcessResult result = RunWorker();
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(DRIVER_RETURNED)) << result.output;
    EXPECT_NE(result.output.find("worker-ended=1 start-enabled=1"), std::string::npos)
        << result.output;
    EXPECT_EQ(server.requestCount("/update/0.0/comm/file.lst"), 1u);
    EXPECT_EQ(server.requestCount("/update/0.0/veldra.exe"), 1u);
    EXPECT_FALSE(folder.Has(L"veldra.exe"));
    EXPECT_FALSE(folder.Has(L"started.txt"));
    // The versions stay in the status line: nothing was downloaded after the check.
    const std::string shown =
        PRIMARYLANGID(GetSystemDefaultLangID()) == LANG_CHINESE
            ? u8"Veldra图动升级工具v1.31  本地图纸版本:1.31.2, 正在更新的图纸版本0.00"
            : "Veldra auto update toolsv1.31, current version 1.31.2. trying update to version "
              "0.00.";
    EXPECT_NE(result.output.find("status=" + shown + "\n"), std::string::npos) << result.output;
}

TEST_F(WorkerTest, UnreadableListSkipsDownloadsButStillSwapsAndStarts) {
    folder.SetInstalled("1.31.2");
    folder.Write(L"veldra.exe", oldProgram);
    server.AddRoute("/update/1.0/veldra.exe", 200, newProgram);
    Reply(R"({"status":0,"lastVer":145})");
    const ProcessResult result = RunWorker();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(server.requestCount("/update/1.4/comm/file.lst"), 1u);
    EXPECT_FALSE(folder.Has(L"comm\\file.lst"));
    EXPECT_EQ(folder.Read(L"veldra.exe"), newProgram);
    EXPECT_TRUE(Started());
}

TEST_F(WorkerTest, AnnouncedDigestOfTheProgramInPlaceSkipsTheFetch) {
    folder.SetInstalled("1.31.2");
    folder.Write(L"veldra.exe", oldProgram);
    server.AddRoute("/update/1.0/veldra.exe", 200, newProgram);
    Reply(R"({"status":3432,"lastVer":145,"newmd5":")" + Md5Hex(oldProgram) + R"("})");
    const ProcessResult result = RunWorker();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(server.requestCount("/update/1.0/veldra.exe"), 0u);
    EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
    EXPECT_FALSE(folder.Has(L"~tmp.bak"));
    EXPECT_TRUE(Started());
    // A digest that is not the program's, or not a digest, changes nothing.
    for (const std::string& announced :
         {Lower(Md5Hex(oldProgram)), std::string(""), Md5Hex(oldProgram) + " "}) {
        // The program started by the last run lets go of its file when it ends.
        ASSERT_TRUE(
            WaitFor([&] { return WriteBytes(folder.path(L"veldra.exe"), oldProgram); }, 20000));
        Reply(R"({"status":3432,"lastVer":145,"newmd5":")" + announced + R"("})");
        EXPECT_EQ(RunWorker().exitCode, 0u);
        EXPECT_EQ(folder.Read(L"veldra.exe"), newProgram) << announced;
    }
    EXPECT_EQ(server.requestCount("/update/1.0/veldra.exe"), 3u);
}

TEST_F(WorkerTest, DeclinedReplacementStillStartsTheExistingProduct) {
    folder.SetInstalled("1.31.2");
    folder.Write(L"veldra.exe", oldProgram);
    server.AddRoute("/update/1.0/veldra.exe", 200, newProgram);
    Reply(R"({"status":0,"lastVer":145})");
    StartedProgram old = StartHoldingProduct(folder);
    ASSERT_TRUE(old.process.valid());
    ASSERT_TRUE(WaitFor([&] { return folder.Has(L"locked.txt"); }, 20000));

    ProcessResult result;
    std::thread driver([&] { result = RunWorker(); });
    HWND box = WaitForBox(BOX_WAIT_MS);
    EXPECT_NE(box, nullptr);
    if (box) Answer(box, IDNO);
    driver.join();
    folder.Write(L"release.txt", "");
    WaitForSingleObject(old.process.get(), 20000);

    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(folder.Read(L"veldra.exe"), oldProgram);
    EXPECT_EQ(folder.Read(L"~tmp.bak"), newProgram);
    EXPECT_EQ(folder.Read(L"~tmp.md5"), "1.0.0=" + Tag(newProgram));
    // One start with the hold option (ours), one without (the worker's launch).
    ASSERT_TRUE(WaitFor([&] { return Lines(folder.Read(L"started.txt")).size() == 2; }, 20000));
    EXPECT_EQ(Lines(folder.Read(L"started.txt"))[1].find("--hold-ms"), std::string::npos);
}

}  // namespace
