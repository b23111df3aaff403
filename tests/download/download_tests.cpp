// Fetches over real loopback HTTP into real files of the Wine prefix.
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "engine/download.h"
#include "engine/response_headers.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/md5.h"
#include "support/owned_files.h"
#include "support/pe_image.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"

namespace {

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

// A fetch's temp file of this process still there (other test programs may
// be fetching beside this one).
bool FetchLeftBehind() {
    wchar_t pattern[MAX_PATH] = {};
    _snwprintf_s(pattern, MAX_PATH, _TRUNCATE, L"%s~veldraupdate.%lx-*.tmp", TempFolder().c_str(),
                 GetCurrentProcessId());
    return AnyFileMatches(pattern);
}

bool StagingLeftIn(const std::wstring& dir) { return AnyFileMatches(dir + L"~tmp.*.new"); }

std::string Url(const HttpTestServer& server, const std::string& path) {
    return "http://" + server.host() + path;
}

class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        SetDownloadBaseUrlForTesting(server.baseUrl());
        dir = MakeTempDir(L"download");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        SetDownloadBaseUrlForTesting(EXPECTED_DOWNLOAD_BASE_URL);
        server.Stop();
        RemoveTree(dir);
    }

    // A failing response of each kind on "/bad".
    void ServeBad(int kind) {
        HttpTestServer::Response response;
        switch (kind) {
            case 0:
                response.status = 404;
                response.body = "<html><body>not here</body></html>";
                break;
            case 1:
                response.status = 500;
                response.body = "<html><body>broken</body></html>";
                break;
            case 2:
                response.status = 200;
                break;
            case 3:
                response.body = "first part of a longer body";
                response.behaviour = HttpTestServer::Response::CutShort;
                break;
            case 4:
                response.behaviour = HttpTestServer::Response::Stall;
                response.stallMs = 1500;
                break;
            default:
                break;
        }
        server.AddRoute("/bad", response);
    }

    HttpTestServer server;
    std::wstring dir;
};

constexpr int kBadKinds = 5;

}  // namespace

TEST_F(Download, ToMemoryReturnsTheBodyAndRemovesTheTempFile) {
    const std::string body("binary\0bytes\r\n\x1A tail", 21);
    server.AddRoute("/body", 200, body);
    std::string buffer;
    EXPECT_EQ(DownloadToMemory(Url(server, "/body"), buffer), DOWNLOAD_OK);
    EXPECT_EQ(buffer, body);
    EXPECT_FALSE(FetchLeftBehind());
    // No copy left in the browser cache either.
    DWORD size = 0;
    EXPECT_FALSE(GetUrlCacheEntryInfoA(Url(server, "/body").c_str(), nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Download, ToMemoryTakesEveryFailedTransferAsNoBytes) {
    for (int kind = 0; kind < kBadKinds; ++kind) {
        ServeBad(kind);
        std::string buffer;
        EXPECT_EQ(DownloadToMemory(Url(server, "/bad"), buffer), DOWNLOAD_EMPTY) << kind;
        EXPECT_TRUE(buffer.empty()) << kind;
        EXPECT_FALSE(FetchLeftBehind()) << kind;
    }
    std::string buffer;
    const std::string refused = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/x";
    EXPECT_EQ(DownloadToMemory(refused, buffer), DOWNLOAD_EMPTY);
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(FetchLeftBehind());
}

// An ended process's temp file goes, read-only or not; a live one's stays.
TEST_F(Download, EndedFetchesAreRemovedLiveOnesKept) {
    const std::wstring temp = TempFolder();
    wchar_t id[16] = {};
    _snwprintf_s(id, 16, _TRUNCATE, L"%lx", GetCurrentProcessId());
    const std::wstring ended[] = {
        temp + L"~veldraupdate." + id + L"-1-0.tmp",
        temp + L"~veldraupdate.7ffffff0-1-2.tmp"};  // this id with another start; no such id
    const std::wstring kept[] = {temp + OwnedFileName(L"~veldraupdate.", L".tmp"),
                                 temp + L"~veldraupdate.x.tmp"};  // live; not of the form
    for (const std::wstring& path : {ended[0], ended[1], kept[0], kept[1]}) {
        ASSERT_TRUE(WriteBytes(path, "x"));
    }
    ASSERT_TRUE(SetFileAttributesW(ended[1].c_str(), FILE_ATTRIBUTE_READONLY));
    RemoveEndedFetches(temp);
    for (const std::wstring& path : ended) EXPECT_FALSE(FileExists(path));
    for (const std::wstring& path : kept)
        EXPECT_TRUE(FileExists(path) && DeleteFileW(path.c_str()));
}

TEST_F(Download, FileKeepsTheDestinationWhenTheTransferFails) {
    const std::wstring target = dir + L"kept.bin";
    const std::wstring missing = dir + L"never\\created.bin";
    ASSERT_TRUE(WriteBytes(target, "old content"));
    for (int kind = 0; kind < kBadKinds; ++kind) {
        ServeBad(kind);
        EXPECT_EQ(DownloadFile(L"/bad", target, ANY_MD5), DOWNLOAD_EMPTY) << kind;
        EXPECT_EQ(ReadBytes(target), "old content") << kind;
        EXPECT_EQ(DownloadFile(L"/bad", missing, ""), DOWNLOAD_EMPTY) << kind;
        EXPECT_FALSE(FileExists(missing)) << kind;
        EXPECT_FALSE(FetchLeftBehind()) << kind;
    }
    SetDownloadBaseUrlForTesting(L"http://127.0.0.1:" + std::to_wstring(FreeLoopbackPort()));
    EXPECT_EQ(DownloadFile(L"/bad", target, ANY_MD5), DOWNLOAD_EMPTY);
    EXPECT_EQ(ReadBytes(target), "old content");
    EXPECT_FALSE(FileExists(dir + L"never"));
}

TEST_F(Download, EmptyDigestSkipsTheFetchOnlyForANonEmptyFile) {
    server.AddRoute("/f", 200, "fresh");
    const std::wstring target = dir + L"f.txt";
    ASSERT_TRUE(WriteBytes(target, "local"));
    EXPECT_EQ(DownloadFile(L"/f", target, ""), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "local");
    EXPECT_TRUE(server.requests().empty());

    ASSERT_TRUE(WriteBytes(target, ""));
    EXPECT_EQ(DownloadFile(L"/f", target, ""), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "fresh");
    EXPECT_EQ(server.requestCount("/f"), 1u);

    const std::wstring absent = dir + L"absent.txt";
    EXPECT_EQ(DownloadFile(L"/f", absent, ""), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(absent), "fresh");
    EXPECT_EQ(server.requestCount("/f"), 2u);
}

TEST_F(Download, MatchingDigestSkipsTheFetchAndADifferentOneFetches) {
    server.AddRoute("/f", 200, "fresh");
    const std::wstring target = dir + L"f.txt";
    ASSERT_TRUE(WriteBytes(target, "local"));
    EXPECT_EQ(DownloadFile(L"/f", target, Md5Hex(std::string("local"))), DOWNLOAD_OK);
    EXPECT_TRUE(server.requests().empty());

    EXPECT_EQ(DownloadFile(L"/f", target, Md5Hex(std::string("fresh"))), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "fresh");
    EXPECT_EQ(server.requestCount("/f"), 1u);

    // The server has something else than the list says: written, then reported.
    server.AddRoute("/f", 200, "other");
    EXPECT_EQ(DownloadFile(L"/f", target, Md5Hex(std::string("expected"))), DOWNLOAD_MD5_MISMATCH);
    EXPECT_EQ(ReadBytes(target), "other");
}

TEST_F(Download, FileKnownToDifferIsReadAgainOnlyOnceItChanged) {
    server.AddRoute("/f", 200, "fresh");
    const std::wstring target = dir + L"f.txt";
    const std::string fresh = Md5Hex(std::string("fresh"));
    ASSERT_TRUE(WriteBytes(target, "fresh"));
    FileStamp seen;
    ASSERT_TRUE(ReadFileStamp(target, seen));
    // Unchanged since it was found to differ: not read again, so fetched.
    EXPECT_EQ(DownloadFile(L"/f", target, fresh, &seen), DOWNLOAD_OK);
    EXPECT_EQ(server.requestCount("/f"), 1u);
    // Rewritten since (same size, later write time): read again and current.
    Sleep(50);
    ASSERT_TRUE(WriteBytes(target, "fresh"));
    EXPECT_EQ(DownloadFile(L"/f", target, fresh, &seen), DOWNLOAD_OK);
    EXPECT_EQ(server.requestCount("/f"), 1u);
}

TEST_F(Download, AnyDigestAlwaysFetchesAndAcceptsWhatArrives) {
    server.AddRoute("/main.exe", 200, "program v2");
    const std::wstring target = dir + L"main.exe";
    ASSERT_TRUE(WriteBytes(target, "program v2"));
    EXPECT_EQ(DownloadFile(L"/main.exe", target, ANY_MD5), DOWNLOAD_OK);
    EXPECT_EQ(DownloadFile(L"/main.exe", target, ANY_MD5), DOWNLOAD_OK);
    EXPECT_EQ(server.requestCount("/main.exe"), 2u);
    EXPECT_EQ(ReadBytes(target), "program v2");
}

TEST_F(Download, EveryFetchAsksTheServerAgain) {
    const std::wstring target = dir + L"changing.txt";
    server.AddRoute("/changing", 200, "first");
    EXPECT_EQ(DownloadFile(L"/changing", target, ANY_MD5), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "first");
    server.AddRoute("/changing", 200, "second, longer");
    EXPECT_EQ(DownloadFile(L"/changing", target, ANY_MD5), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "second, longer");
    std::string buffer;
    server.AddRoute("/changing", 404, "<html>gone</html>");
    EXPECT_EQ(DownloadToMemory(Url(server, "/changing"), buffer), DOWNLOAD_EMPTY);
    EXPECT_EQ(server.requestCount("/changing"), 3u);
}

TEST_F(Download, ZeroByteBodyLeavesTheFileUntouched) {
    server.AddRoute("/empty", 200, "");
    const std::wstring target = dir + L"e.txt";
    ASSERT_TRUE(WriteBytes(target, "keep me"));
    EXPECT_EQ(DownloadFile(L"/empty", target, ANY_MD5), DOWNLOAD_EMPTY);
    EXPECT_EQ(ReadBytes(target), "keep me");
    EXPECT_EQ(server.requestCount("/empty"), 1u);
}

TEST_F(Download, LowercaseDigestAlwaysRefetchesAndKeepsTheContent) {
    const std::string content = "same bytes on both sides";
    server.AddRoute("/l", 200, content);
    const std::wstring target = dir + L"l.txt";
    ASSERT_TRUE(WriteBytes(target, content));
    std::string lower = Md5Hex(content);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, Md5Hex(content));
    EXPECT_EQ(DownloadFile(L"/l", target, lower), DOWNLOAD_MD5_MISMATCH);
    EXPECT_EQ(DownloadFile(L"/l", target, lower), DOWNLOAD_MD5_MISMATCH);
    EXPECT_EQ(server.requestCount("/l"), 2u);
    EXPECT_EQ(ReadBytes(target), content);
}

TEST_F(Download, MissingDirectoriesAreCreated) {
    server.AddRoute("/deep", 200, "deep content");
    const std::wstring target = dir + L"a\\b\\c\\deep.dat";
    EXPECT_EQ(DownloadFile(L"/deep", target, Md5Hex(std::string("deep content"))), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "deep content");
    EXPECT_FALSE(FetchLeftBehind());
}

TEST_F(Download, DestinationHeldWithoutWriteSharingGivesWriteFailed) {
    server.AddRoute("/locked", 200, "new content");
    const std::wstring target = dir + L"locked.dll";
    ASSERT_TRUE(WriteBytes(target, "old content"));
    HANDLE holder = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DownloadFile(L"/locked", target, ANY_MD5), DOWNLOAD_WRITE_FAILED);
    EXPECT_EQ(DownloadFileReportingErrors(L"/locked", target, ANY_MD5), DOWNLOAD_WRITE_FAILED);
    CloseHandle(holder);
    EXPECT_EQ(ReadBytes(target), "old content");
    EXPECT_FALSE(FetchLeftBehind());
}

TEST_F(Download, WideTextsReachTheServerAsUtf8Bytes) {
    const std::string utf8Path = u8"/update/1.3/\u4E2D\u6587/\u6587\u4EF6.txt";
    server.AddRoute(utf8Path, 200, "chinese");
    // An ASCII local name: non-ASCII Unix file names depend on the host's locales.
    const std::wstring target = dir + L"chinese.txt";
    EXPECT_EQ(DownloadFile(L"/update/1.3/\u4E2D\u6587/\u6587\u4EF6.txt", target, ""), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "chinese");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], utf8Path);

    // Each UTF-16 unit on its own: a surrogate pair arrives as two 3-byte forms.
    const std::string splitPair = "/pair/\xED\xA0\xBD\xED\xB8\x80";
    server.AddRoute(splitPair, 200, "pair");
    EXPECT_EQ(DownloadFile(L"/pair/\xD83D\xDE00", dir + L"pair.txt", ""), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(dir + L"pair.txt"), "pair");
    EXPECT_EQ(server.requests().back(), splitPair);
}

TEST(ServerEndpoints, BaseUrlIsHttpsWithTheCompiledHostAndTestsCanReplaceIt) {
    const std::wstring original = DownloadBaseUrl();
    EXPECT_EQ(original, EXPECTED_DOWNLOAD_BASE_URL);
    EXPECT_NE(original.back(), L'/');
    EXPECT_EQ(VersionServiceHost(), EXPECTED_VERSION_SERVICE_HOST);
    SetDownloadBaseUrlForTesting(L"http://127.0.0.1:1");
    EXPECT_EQ(DownloadBaseUrl(), L"http://127.0.0.1:1");
    SetDownloadBaseUrlForTesting(original);
    const std::string host = VersionServiceHost();
    SetVersionServiceHostForTesting("127.0.0.1:2");
    EXPECT_EQ(VersionServiceHost(), "127.0.0.1:2");
    SetVersionServiceHostForTesting(host);
}

TEST_F(Download, MappedDestinationIsAWriteFailureAndKeepsItsBytes) {
    server.AddRoute("/mapped", 200, "replacement");
    const std::wstring target = dir + L"mapped.bin";
    ASSERT_TRUE(WriteBytes(target, "mapped content"));
    // Open for reading and writing by others but not deletable: nothing may
    // take its place.
    HANDLE file = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(mapping, nullptr);
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(DownloadFile(L"/mapped", target, ANY_MD5), DOWNLOAD_WRITE_FAILED);
    EXPECT_EQ(DownloadFileReportingErrors(L"/mapped", target, ANY_MD5), DOWNLOAD_WRITE_FAILED);
    EXPECT_FALSE(FetchLeftBehind());
    EXPECT_FALSE(StagingLeftIn(dir));
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
    EXPECT_EQ(ReadBytes(target), "mapped content");
    EXPECT_EQ(DownloadFileReportingErrors(L"/mapped", target, ANY_MD5), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "replacement");
}

// The old file is never cut or rewritten in place: a second name of it (as a
// reader's view of it) keeps its bytes whole.
TEST_F(Download, FetchedBytesReplaceTheFileAndNeverRewriteIt) {
    const std::string old(100000, 'o');
    const std::string fresh(70000, 'n');
    server.AddRoute("/swap", 200, fresh);
    const std::wstring target = dir + L"swap.bin";
    ASSERT_TRUE(WriteBytes(target, old));
    ASSERT_TRUE(CreateHardLinkW((dir + L"old-name.bin").c_str(), target.c_str(), nullptr));
    EXPECT_EQ(DownloadFile(L"/swap", target, Md5Hex(fresh)), DOWNLOAD_OK);
    EXPECT_TRUE(ReadBytes(dir + L"old-name.bin") == old);
    EXPECT_TRUE(ReadBytes(target) == fresh);
    // So do the bytes the updater accepted itself (signed list and program,
    // rebuilt patches, the pending record).
    const std::wstring accepted = dir + L"accepted.bin";
    ASSERT_TRUE(WriteBytes(accepted, old));
    ASSERT_TRUE(CreateHardLinkW((dir + L"accepted-old.bin").c_str(), accepted.c_str(), nullptr));
    EXPECT_TRUE(PutFileByReplacement(accepted, fresh));
    EXPECT_TRUE(ReadBytes(dir + L"accepted-old.bin") == old);
    EXPECT_TRUE(ReadBytes(accepted) == fresh);
    EXPECT_FALSE(StagingLeftIn(dir));

    // A read-only file is refused although a rename could pass over it.
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    server.AddRoute("/swap", 200, old);
    EXPECT_EQ(DownloadFile(L"/swap", target, ANY_MD5), DOWNLOAD_WRITE_FAILED);
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(ReadBytes(target) == fresh);
    EXPECT_FALSE(StagingLeftIn(dir));
}

// Fetched into a temp folder on another volume, the bytes are copied in.
TEST_F(Download, ATempFolderOnAnotherVolumeStillReplacesTheFile) {
    const std::wstring otherVolume =
        L"Z:\\dev\\shm\\veldra-temp-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    if ((!CreateDirectoryW(otherVolume.c_str(), nullptr) &&
         GetLastError() != ERROR_ALREADY_EXISTS) ||
        !WriteBytes(otherVolume + L"probe", "")) {
        GTEST_SKIP() << "no Z:\\dev\\shm to write to";
    }
    const bool crossesVolumes =
        !MoveFileExW((otherVolume + L"probe").c_str(), (dir + L"probe").c_str(), 0) &&
        GetLastError() == ERROR_NOT_SAME_DEVICE;
    wchar_t oldTemp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", oldTemp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", otherVolume.c_str());
    const std::string fresh(300000, 'f');
    server.AddRoute("/far", 200, fresh);
    const std::wstring target = dir + L"far.bin";
    ASSERT_TRUE(WriteBytes(target, "old"));
    const int result = DownloadFile(L"/far", target, Md5Hex(fresh));
    SetEnvironmentVariableW(L"TMP", oldTemp[0] ? oldTemp : nullptr);
    RemoveTree(otherVolume);
    if (!crossesVolumes) GTEST_SKIP() << "Z:\\dev\\shm is on the temp folder's volume";
    EXPECT_EQ(result, DOWNLOAD_OK);
    EXPECT_TRUE(ReadBytes(target) == fresh);
    EXPECT_FALSE(StagingLeftIn(dir));
}

namespace {

std::string Gzip(const std::string& text) {
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

bool ChineseSystem() { return PRIMARYLANGID(GetSystemDefaultLangID()) == LANG_CHINESE; }

}  // namespace

// Deadlines do not depend on the language; the Chinese run skips the slow cases.
TEST_F(Download, StalledTransfersAreGivenUpMovingOnesNever) {
    if (ChineseSystem()) GTEST_SKIP() << "same as on the English system";
    const DWORD serverHolds = 60000;
    HttpTestResponse silent;
    silent.behaviour = HttpTestResponse::Stall;
    silent.stallMs = serverHolds;
    server.AddRoute("/silent", silent);
    HttpTestResponse halfway;
    halfway.behaviour = HttpTestResponse::StallInBody;
    halfway.body = std::string(100000, 'h');
    halfway.stallMs = serverHolds;
    server.AddRoute("/halfway", halfway);
    for (const char* path : {"/silent", "/halfway"}) {
        std::string buffer;
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(DownloadToMemory(Url(server, path), buffer), DOWNLOAD_EMPTY) << path;
        // Given up long before the server lets go.
        EXPECT_LT(GetTickCount64() - start, serverHolds / 2) << path;
        EXPECT_TRUE(buffer.empty());
        EXPECT_FALSE(FetchLeftBehind());
    }
    // 20 seconds of a slow body that never pauses long: taken whole.
    HttpTestResponse slow;
    slow.behaviour = HttpTestResponse::Trickle;
    slow.body = std::string(40 * 500, 's');
    slow.trickleBytes = 500;
    slow.trickleMs = 500;
    server.AddRoute("/slow", slow);
    const std::wstring target = dir + L"slow.bin";
    EXPECT_EQ(DownloadFile(L"/slow", target, Md5Hex(slow.body)), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), slow.body);
}

TEST_F(Download, ToMemoryRefusesBodiesAboveItsLimit) {
    const std::string big(3 * 1024 * 1024, 'b');
    server.AddRoute("/big", 200, big);
    std::string buffer;
    EXPECT_EQ(DownloadToMemory(Url(server, "/big"), buffer, 1024 * 1024), DOWNLOAD_EMPTY);
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(FetchLeftBehind());
    EXPECT_EQ(DownloadToMemory(Url(server, "/big"), buffer, big.size()), DOWNLOAD_OK);
    EXPECT_EQ(buffer.size(), big.size());

    // A trusted file above its limit is a failed fetch: the local copy stays.
    const std::wstring target = dir + L"list.lst";
    ASSERT_TRUE(WriteBytes(target, "previous list"));
    EXPECT_EQ(DownloadTrustedFile(L"/big", target, 1024 * 1024), DOWNLOAD_EMPTY);
    EXPECT_EQ(ReadBytes(target), "previous list");
    EXPECT_EQ(DownloadTrustedFile(L"/big", target, big.size()), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), big);
}

TEST_F(Download, AnEncodingNotDecodedKeepsTheLengthCheck) {
    HttpTestResponse cut;
    cut.body = std::string(700, 'x');
    cut.headers.emplace_back("Content-Encoding", "x-foo");
    cut.behaviour = HttpTestResponse::CutShort;
    server.AddRoute("/foo", cut);
    std::string buffer;
    EXPECT_EQ(DownloadToMemory(Url(server, "/foo"), buffer), DOWNLOAD_EMPTY);
    const std::wstring target = dir + L"foo.exe";
    ASSERT_TRUE(WriteBytes(target, "old program"));
    EXPECT_EQ(DownloadFile(L"/foo", target, ANY_MD5), DOWNLOAD_EMPTY);
    EXPECT_EQ(ReadBytes(target), "old program");
    cut.behaviour = HttpTestResponse::Normal;
    server.AddRoute("/foo", cut);
    EXPECT_EQ(DownloadToMemory(Url(server, "/foo"), buffer), DOWNLOAD_OK);
    EXPECT_EQ(buffer, cut.body);
}

TEST_F(Download, CompressedBodiesWithTheirLengthAreWhole) {
    const std::string text =
        R"({"status":3431,"lastVer":132,"skinmd5":"A"})" + std::string(5000, ' ');
    HttpTestResponse compressed;
    compressed.body = Gzip(text);
    compressed.headers.emplace_back("Content-Encoding", "gzip");
    server.AddRoute("/gzip", compressed);
    std::string buffer;
    EXPECT_EQ(DownloadToMemory(Url(server, "/gzip"), buffer), DOWNLOAD_OK);
    EXPECT_EQ(buffer, text);
    const std::wstring target = dir + L"gzip.txt";
    EXPECT_EQ(DownloadFile(L"/gzip", target, Md5Hex(text)), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), text);
}

namespace {

// This program's image, its headers as edit leaves them.
std::string SelfImage(const std::function<void(IMAGE_NT_HEADERS64&, size_t)>& edit) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::string image = ReadBytes(self);
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, image.data(), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    memcpy(&nt, image.data() + dos.e_lfanew, sizeof nt);
    edit(nt, image.size());
    memcpy(&image[dos.e_lfanew], &nt, sizeof nt);
    return image;
}

// This test program's own image, whole, with a certificate table appended the
// way signing appends one.
std::string SignedLookingImage() {
    return SelfImage([](IMAGE_NT_HEADERS64& nt, size_t size) {
               nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY] = {
                   static_cast<DWORD>(size), 4096};
           }) +
           std::string(4096, 'c');
}

// This program as a linker that keeps no symbols writes it, cut inside its
// first section: nothing after the sections tells the cut.
std::string StrippedImageCutInASection() {
    DWORD headers = 0;
    const std::string image = SelfImage([&headers](IMAGE_NT_HEADERS64& nt, size_t) {
        nt.FileHeader.PointerToSymbolTable = 0;
        nt.FileHeader.NumberOfSymbols = 0;
        headers = nt.OptionalHeader.SizeOfHeaders;
    });
    return image.substr(0, headers + 100);
}

}  // namespace

// urlmon reads a body without a length, or one it decoded, as complete even
// when it was cut short: the caller learns that no length was checked.
// The header lines as urlmon hands them over; Wine hands decoded bodies over
// without them, so only here is an encoding seen.
TEST(ResponseHeaders, EncodingAndLengthFromRawLines) {
    const struct {
        const wchar_t* headers;
        bool encoded;
        long long length;
    } cases[] = {
        {L"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n", false, 12},
        {L"HTTP/1.1 200 OK\r\ncontent-length:\t7\r\nContent-Encoding: gzip\r\n", true, 7},
        {L"HTTP/1.1 200 OK\r\nCONTENT-ENCODING: Deflate\r\n", true, -1},
        {L"HTTP/1.1 200 OK\r\nContent-Encoding: x-gzip, br\r\n", true, -1},
        {L"HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nContent-Length: 5\r\n", false, 5},
        {L"HTTP/1.1 200 OK\r\nContent-Encoding: gzipped\r\n", false, -1},
        {L"HTTP/1.1 200 OK\r\nContent-Encoding: gz", false, -1},
        {L"HTTP/1.1 200 OK\r\nContent-Length: many\r\nX-Content-Length: 3\r\n", false, -1},
        {L"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", false, -1},
        {nullptr, false, -1},
    };
    for (const auto& c : cases) {
        const std::wstring shown = c.headers ? c.headers : L"(none)";
        EXPECT_EQ(IsEncoded(c.headers), c.encoded) << WideToUtf8(shown);
        EXPECT_EQ(ContentLength(c.headers), c.length) << WideToUtf8(shown);
    }
}

TEST_F(Download, ALengthIsCheckedOnlyWhereTheServerAnnouncedOne) {
    const std::string body(30000, 'b');
    struct Case {
        HttpTestResponse::Framing framing;
        const char* encoding;
        bool checked;
    };
    const Case cases[] = {{HttpTestResponse::Length, nullptr, true},
                          {HttpTestResponse::Length, "x-foo", true},
                          {HttpTestResponse::Length, "gzip", false},
                          {HttpTestResponse::Chunked, nullptr, false},
                          {HttpTestResponse::UntilClose, nullptr, false}};
    for (const Case& c : cases) {
        HttpTestResponse response;
        response.framing = c.framing;
        response.body = c.encoding && std::string(c.encoding) == "gzip" ? Gzip(body) : body;
        if (c.encoding) response.headers.emplace_back("Content-Encoding", c.encoding);
        server.AddRoute("/framed", response);
        std::string buffer;
        const FetchResult result = FetchBody(Url(server, "/framed"), buffer);
        EXPECT_EQ(result.code, DOWNLOAD_OK) << c.framing << c.encoding;
        EXPECT_EQ(result.lengthChecked, c.checked) << c.framing << c.encoding;
        EXPECT_TRUE(buffer == body) << c.framing << c.encoding;
    }
}

TEST_F(Download, AProgramWhoseLengthIsNotCheckedIsTakenOnlyAsAWholeImage) {
    const std::string image = SignedLookingImage();
    const std::wstring target = dir + L"program.exe";
    // In the headers, in a section, in the symbols' strings, in the certificates,
    // in a section of an image without symbols or certificates.
    const std::string cuts[] = {image.substr(0, 300), image.substr(0, image.size() / 2),
                                image.substr(0, image.size() - 4096 - 100),
                                image.substr(0, image.size() - 100), StrippedImageCutInASection()};
    for (HttpTestResponse::Framing framing :
         {HttpTestResponse::Chunked, HttpTestResponse::UntilClose}) {
        ASSERT_TRUE(WriteBytes(target, "old program"));
        for (const std::string& cut : cuts) {
            HttpTestResponse response;
            response.framing = framing;
            response.behaviour = HttpTestResponse::CutShort;
            response.body = cut;
            server.AddRoute("/program", response);
            EXPECT_EQ(DownloadTrustedFile(L"/program", target, 0, IsWholePeImage), DOWNLOAD_EMPTY)
                << framing << " " << cut.size();
            EXPECT_TRUE(ReadBytes(target) == "old program") << framing << " " << cut.size();
        }
        // Whole, and with a tail of its own after the last part it names.
        HttpTestResponse whole;
        whole.framing = framing;
        whole.body = image + "tail";
        server.AddRoute("/program", whole);
        EXPECT_EQ(DownloadTrustedFile(L"/program", target, 0, IsWholePeImage), DOWNLOAD_OK);
        EXPECT_TRUE(ReadBytes(target) == whole.body) << framing;
    }
    // A length that was checked needs no look at the bytes.
    server.AddRoute("/program", 200, "not a program at all");
    EXPECT_EQ(DownloadTrustedFile(L"/program", target, 0, IsWholePeImage), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "not a program at all");
}
