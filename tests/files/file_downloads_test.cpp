#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/shell_texts.h"
#include "engine/file_downloads.h"
#include "engine/server_endpoints.h"
#include "engine/delta_index.h"
#include "support/delta_patch.h"
#include "support/encoding.h"
#include "support/md5.h"
#include "support/unique_handle.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"

namespace {

constexpr wchar_t RECORDER_PROP[] = L"files-test-recorder";

struct StatusRecorder {
    WNDPROC original = nullptr;
    std::vector<std::wstring> texts;
};

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* recorder = static_cast<StatusRecorder*>(GetPropW(window, RECORDER_PROP));
    if (message == WM_SETTEXT && lParam != 0) {
        recorder->texts.push_back(reinterpret_cast<const wchar_t*>(lParam));
    }
    return CallWindowProcW(recorder->original, window, message, wParam, lParam);
}

// A window holding a status control, driven from a worker thread the way the
// dialog is while this thread keeps pumping messages.
std::vector<std::wstring> RunDownloads(const DownloadQueue& queue, const std::wstring& directory,
                                       float version, int* result, size_t workers) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                  instance, nullptr);
    HWND status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 200, 20, parent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)),
                                  instance, nullptr);
    EXPECT_NE(nullptr, status);
    StatusRecorder recorder;
    SetPropW(status, RECORDER_PROP, &recorder);
    recorder.original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProc)));

    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread worker([&] {
        *result = workers == FETCH_WORKERS
                      ? DownloadQueuedFiles(queue, directory, parent, version)
                      : DownloadQueuedFilesWith(queue, directory, parent, version, workers);
        SetEvent(done.get());
    });
    HANDLE waitHandle = done.get();
    bool finished = false;
    for (int round = 0; round < 1200 && !finished; ++round) {
        DWORD wait = MsgWaitForMultipleObjects(1, &waitHandle, FALSE, 100, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) finished = true;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    EXPECT_TRUE(finished);
    worker.join();

    SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recorder.original));
    RemovePropW(status, RECORDER_PROP);
    DestroyWindow(parent);
    return recorder.texts;
}

std::wstring Before(const std::wstring& widePath) {
    return UseChineseTexts ? L"开始下载" + widePath + L"....." : L"downloading...";
}

std::wstring After(const std::wstring& serverPath, int code) {
    return UseChineseTexts ? serverPath + L"下载完成完成！ 错误码" + std::to_wstring(code)
                           : serverPath + L" downlaod finish! errcode" + std::to_wstring(code);
}

const std::string LOG_HEAD("\xEF\xBB\xBF\0about err\r\n", 15);

class DownloadsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start());
        SetDownloadBaseUrlForTesting(server_.baseUrl());
        dir_ = MakeTempDir(L"files-dl");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        server_.Stop();
        RemoveTree(dir_);
    }

    // One file after another unless told: the texts then come in a known order.
    std::vector<std::wstring> Run(const DownloadQueue& queue, float version = 1.31f,
                                  size_t workers = 1) {
        int result = -1;
        std::vector<std::wstring> texts = RunDownloads(queue, dir_, version, &result, workers);
        EXPECT_EQ(0, result);
        return texts;
    }

    HttpTestServer server_;
    std::wstring dir_;
};

const std::string BODY = "fresh content of the file";
const std::string WRONG_MD5 = "0123456789ABCDEF0123456789ABCDEF";

}  // namespace

TEST_F(DownloadsTest, StatusTextsResultsAndLog) {
    server_.AddRoute("/update/1.3/bin/x.txt", 200, BODY);
    server_.AddRoute("/update/1.3/bad.txt", 200, BODY);
    DownloadQueue queue = {
        {Md5Hex(BODY), "bin\\x.txt"}, {"ABCDEF", "missing.txt"}, {WRONG_MD5, "bad.txt"}};
    std::vector<std::wstring> texts = Run(queue);
    std::vector<std::wstring> expected = {
        Before(L"bin\\x.txt"),  After(L"/update/1.3/bin/x.txt", 0),
        Before(L"missing.txt"), After(L"/update/1.3/missing.txt", -3),
        Before(L"bad.txt"),     After(L"/update/1.3/bad.txt", -1002),
    };
    EXPECT_EQ(expected, texts);
    EXPECT_EQ(BODY, ReadBytes(dir_ + L"bin\\x.txt"));
    EXPECT_EQ(BODY, ReadBytes(dir_ + L"bad.txt"));
    EXPECT_FALSE(FileExists(dir_ + L"missing.txt"));
    EXPECT_EQ(LOG_HEAD + "down err (-3)Jsomd5: ABCDEF,fileName: missing.txt,local md5:\r\n" +
                  "down err (-1002)Jsomd5: " + WRONG_MD5 +
                  ",fileName: bad.txt,local md5:" + Md5Hex(BODY) + "\r\n",
              ReadBytes(dir_ + L"updateErr.log"));
}

// Sent without a length and cut short, a listed file reads as complete: its
// listed size tells it, and the old bytes stay.
TEST_F(DownloadsTest, UnframedBodiesCutShortOfTheListedSizeAreNeverWritten) {
    const std::string whole(300000, 'w');
    const std::string old = "old bytes";
    DownloadQueue queue;
    std::string log = LOG_HEAD;
    for (HttpTestResponse::Framing framing :
         {HttpTestResponse::Chunked, HttpTestResponse::UntilClose}) {
        const std::string name =
            framing == HttpTestResponse::Chunked ? "chunked.bin" : "closed.bin";
        HttpTestResponse cut;
        cut.framing = framing;
        cut.behaviour = HttpTestResponse::CutShort;
        cut.body = whole.substr(0, 200000);
        server_.AddRoute("/update/1.3/" + name, cut);
        ASSERT_TRUE(WriteBytes(dir_ + Utf8ToWide(name), old));
        QueuedFile file{Md5Hex(whole), name};
        file.listedSize = whole.size();
        queue.push_back(file);
        log += "down err (-3)Jsomd5: " + Md5Hex(whole) + ",fileName: " + name +
               ",local md5:" + Md5Hex(old) + "\r\n";
    }
    Run(queue);
    EXPECT_EQ(old, ReadBytes(dir_ + L"chunked.bin"));
    EXPECT_EQ(old, ReadBytes(dir_ + L"closed.bin"));
    EXPECT_EQ(log, ReadBytes(dir_ + L"updateErr.log"));
}

// Side by side, files end in any order; the log keeps the queue's, and each
// file's texts come in their own order.
TEST_F(DownloadsTest, FilesFetchedSideBySideLogInQueueOrder) {
    DownloadQueue queue;
    std::string log = LOG_HEAD;
    for (int i = 0; i < 10; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        const std::string body = BODY + name;
        HttpTestResponse response;
        response.body = body;
        if (i == 0) {  // answers last
            response.behaviour = HttpTestResponse::Trickle;
            response.trickleBytes = 10;
            response.trickleMs = 300;
        }
        if (i % 4 != 3) server_.AddRoute("/update/1.3/" + name, response);
        queue.push_back({i == 5 ? WRONG_MD5 : Md5Hex(body), name});
        if (i % 4 == 3)
            log +=
                "down err (-3)Jsomd5: " + Md5Hex(body) + ",fileName: " + name + ",local md5:\r\n";
        if (i == 5)
            log += "down err (-1002)Jsomd5: " + WRONG_MD5 + ",fileName: " + name +
                   ",local md5:" + Md5Hex(body) + "\r\n";
    }
    const std::vector<std::wstring> texts = Run(queue, 1.31f, FETCH_WORKERS);
    EXPECT_EQ(log, ReadBytes(dir_ + L"updateErr.log"));
    for (int i = 0; i < 10; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        if (i % 4 != 3) {
            EXPECT_EQ(BODY + name, ReadBytes(dir_ + Utf8ToWide(name))) << i;
        }
    }
    const auto at = [&texts](const std::wstring& text) {
        return std::find(texts.begin(), texts.end(), text) - texts.begin();
    };
    EXPECT_EQ(20u, texts.size());
    const auto slowEnd = at(After(L"/update/1.3/f0.txt", 0));
    EXPECT_GT(slowEnd, at(After(L"/update/1.3/f9.txt", 0)));
    EXPECT_LT(slowEnd, static_cast<std::ptrdiff_t>(texts.size()));
}

TEST_F(DownloadsTest, EveryFailureLoggedInOrderAndLogRewritten) {
    ASSERT_TRUE(WriteBytes(dir_ + L"updateErr.log", std::string(500, 'x')));
    DownloadQueue queue = {{"A1", "one.txt"}, {"A2", "two\\three.txt"}};
    Run(queue, 2.0f);
    EXPECT_EQ(LOG_HEAD + "down err (-3)Jsomd5: A1,fileName: one.txt,local md5:\r\n" +
                  "down err (-3)Jsomd5: A2,fileName: two\\three.txt,local md5:\r\n",
              ReadBytes(dir_ + L"updateErr.log"));
    std::vector<std::string> requests = server_.requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("/update/2.0/comm/delta.lst", requests[0]);
    EXPECT_EQ("/update/2.0/one.txt", requests[1]);
    EXPECT_EQ("/update/2.0/two/three.txt", requests[2]);
}

TEST_F(DownloadsTest, CleanRunLeavesOldLogAndEmptyQueueDoesNothing) {
    ASSERT_TRUE(WriteBytes(dir_ + L"updateErr.log", "old log"));
    EXPECT_TRUE(Run(DownloadQueue()).empty());
    server_.AddRoute("/update/1.3/ok.txt", 200, BODY);
    Run({{Md5Hex(BODY), "ok.txt"}});
    EXPECT_EQ("old log", ReadBytes(dir_ + L"updateErr.log"));
    EXPECT_EQ(BODY, ReadBytes(dir_ + L"ok.txt"));
}

TEST_F(DownloadsTest, WhatTheScanFoundDifferentIsNotReadAgain) {
    server_.AddRoute("/update/1.3/seen.txt", 200, BODY);
    ASSERT_TRUE(WriteBytes(dir_ + L"seen.txt", BODY));
    QueuedFile file{Md5Hex(BODY), "seen.txt"};
    FileStamp seen;
    ASSERT_TRUE(ReadFileStamp(dir_ + L"seen.txt", seen));
    file.readAndDiffered = seen;
    // Taken at its word: a read would have found the file current.
    Run({file});
    EXPECT_EQ(1u, server_.requestCount("/update/1.3/seen.txt"));
}

// Wine run by a plain user cannot mark a read-only file hidden, and Wine run by
// root writes read-only files anyway: the test runs in both ways, and each
// checks what it can see.
TEST_F(DownloadsTest, DllFilesEndHiddenReadOnlyAndCanBeReplaced) {
    const bool enforced = ReadOnlyFilesAreEnforced();
    const DWORD marks =
        enforced ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY;
    server_.AddRoute("/update/1.3/Dlls/a.bin", 200, BODY);
    server_.AddRoute("/update/1.3/x.DLL", 200, BODY);
    DownloadQueue queue = {{Md5Hex(BODY), "Dlls\\a.bin"}, {Md5Hex(BODY), "x.DLL"}};
    Run(queue);
    for (const wchar_t* name : {L"Dlls\\a.bin", L"x.DLL"}) {
        DWORD attributes = GetFileAttributesW((dir_ + name).c_str());
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
        EXPECT_EQ(marks, attributes & marks);
    }
    // Next version: the read-only copies are overwritten.
    const std::string newer = "newer content";
    server_.AddRoute("/update/1.3/Dlls/a.bin", 200, newer);
    server_.AddRoute("/update/1.3/x.DLL", 404, "<html>gone</html>");
    Run({{Md5Hex(newer), "Dlls\\a.bin"}, {Md5Hex(newer), "x.DLL"}});
    EXPECT_EQ(newer, ReadBytes(dir_ + L"Dlls\\a.bin"));
    EXPECT_EQ(BODY, ReadBytes(dir_ + L"x.DLL"));
    for (const wchar_t* name : {L"Dlls\\a.bin", L"x.DLL"}) {
        EXPECT_EQ(marks, GetFileAttributesW((dir_ + name).c_str()) & marks);
    }
    EXPECT_EQ(LOG_HEAD + "down err (-3)Jsomd5: " + Md5Hex(newer) +
                  ",fileName: x.DLL,local md5:" + Md5Hex(BODY) + "\r\n",
              ReadBytes(dir_ + L"updateErr.log"));
}

TEST_F(DownloadsTest, HeldOrReadOnlyFileFailsAndKeepsContent) {
    ASSERT_TRUE(ReadOnlyFilesAreEnforced());
    ASSERT_TRUE(WriteBytes(dir_ + L"locked.txt", "kept"));
    ASSERT_TRUE(WriteBytes(dir_ + L"readonly.txt", "also kept"));
    ASSERT_TRUE(SetFileAttributesW((dir_ + L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    server_.AddRoute("/update/1.3/locked.txt", 200, BODY);
    server_.AddRoute("/update/1.3/readonly.txt", 200, BODY);
    // Held open by someone who denies writers.
    UniqueHandle held(CreateFileW((dir_ + L"locked.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    std::vector<std::wstring> texts =
        Run({{Md5Hex(BODY), "locked.txt"}, {Md5Hex(BODY), "readonly.txt"}});
    held.reset();
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ(After(L"/update/1.3/locked.txt", -1003), texts[1]);
    EXPECT_EQ(After(L"/update/1.3/readonly.txt", -1003), texts[3]);
    EXPECT_EQ("kept", ReadBytes(dir_ + L"locked.txt"));
    EXPECT_EQ("also kept", ReadBytes(dir_ + L"readonly.txt"));
    EXPECT_EQ(LOG_HEAD + "down err (-1003)Jsomd5: " + Md5Hex(BODY) +
                  ",fileName: locked.txt,local md5:" + Md5Hex("kept") + "\r\n" +
                  "down err (-1003)Jsomd5: " + Md5Hex(BODY) +
                  ",fileName: readonly.txt,local md5:" + Md5Hex("also kept") + "\r\n",
              ReadBytes(dir_ + L"updateErr.log"));
}

TEST_F(DownloadsTest, FilesBelowFileShowAndLogNothingAfter) {
    DownloadQueue queue = {{"A", "file/gone.txt"}, {"B", "file\\shown.txt"}};
    std::vector<std::wstring> texts = Run(queue);
    std::vector<std::wstring> expected = {Before(L"file/gone.txt"), Before(L"file\\shown.txt"),
                                          After(L"/update/1.3/file/shown.txt", -3)};
    EXPECT_EQ(expected, texts);
    EXPECT_EQ(LOG_HEAD + "down err (-3)Jsomd5: B,fileName: file\\shown.txt,local md5:\r\n",
              ReadBytes(dir_ + L"updateErr.log"));
}

TEST_F(DownloadsTest, UpdaterItselfAndEscapingPathsAreNeverTouched) {
    std::wstring product = dir_ + L"product\\";
    ASSERT_TRUE(CreateDirectoryW(product.c_str(), nullptr));
    server_.AddRoute("/update/1.3/veldraupdate.exe", 200, BODY);
    server_.AddRoute("/update/1.3/../escape.txt", 200, BODY);
    DownloadQueue queue = {{"A", "veldraupdate.exe"}, {"A", u8"bin/Veldra升级.exe"},
                           {"A", "..\\escape.txt"},   {"A", "sub/../../escape.txt"},
                           {"A", "C:escape.txt"},     {"A", "sub/.../escape.txt"}};
    int result = -1;
    EXPECT_TRUE(RunDownloads(queue, product, 1.31f, &result, 1).empty());
    EXPECT_EQ(0, result);
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_FALSE(FileExists(dir_ + L"escape.txt"));
    EXPECT_FALSE(FileExists(product + L"veldraupdate.exe"));
    EXPECT_FALSE(FileExists(product + L"updateErr.log"));
}

TEST_F(DownloadsTest, LeadingSeparatorsStayInTheProductFolder) {
    std::wstring product = dir_ + L"product\\";
    ASSERT_TRUE(CreateDirectoryW(product.c_str(), nullptr));
    server_.AddRoute("/update/1.3//lead.txt", 200, BODY);
    server_.AddRoute("/update/1.3///host/share/y.txt", 200, BODY);
    int result = -1;
    RunDownloads({{Md5Hex(BODY), "/lead.txt"}, {Md5Hex(BODY), "\\\\host\\share\\y.txt"}}, product,
                 1.31f, &result, 1);
    EXPECT_EQ(BODY, ReadBytes(product + L"lead.txt"));
    EXPECT_EQ(BODY, ReadBytes(product + L"host\\share\\y.txt"));
    EXPECT_FALSE(FileExists(dir_ + L"lead.txt"));
    EXPECT_FALSE(FileExists(product + L"updateErr.log"));
}

TEST_F(DownloadsTest, LongTextsAreCut) {
    // 120 three-byte characters: the error line does not fit into 256 bytes.
    std::string longPath;
    std::wstring wideLongPath;
    for (int i = 0; i < 120; ++i) {
        longPath += u8"图";
        wideLongPath += L"图";
    }
    std::string asciiPath(240, 'a');
    std::vector<std::wstring> texts = Run({{"A", longPath}, {"B", asciiPath}});
    ASSERT_EQ(4u, texts.size());
    for (const std::wstring& text : texts) EXPECT_LE(text.size(), 255u);
    EXPECT_EQ(Before(wideLongPath), texts[0]);
    std::wstring afterAscii = After(L"/update/1.3/" + std::wstring(240, L'a'), -3);
    EXPECT_EQ(afterAscii.substr(0, 255), texts[3]);

    std::string log = ReadBytes(dir_ + L"updateErr.log");
    ASSERT_EQ(0u, log.rfind(LOG_HEAD, 0));
    std::vector<std::string> lines;
    for (size_t start = LOG_HEAD.size(); start < log.size();) {
        size_t end = log.find("\r\n", start);
        ASSERT_NE(std::string::npos, end);
        lines.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    ASSERT_EQ(2u, lines.size());
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 255u);
        EXPECT_EQ(0u, line.find("down err (-3)Jsomd5: "));
        // Still whole characters.
        EXPECT_NE(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                         static_cast<int>(line.size()), nullptr, 0));
    }
    EXPECT_EQ(("down err (-3)Jsomd5: B,fileName: " + asciiPath + ",local md5:").substr(0, 255),
              lines[1]);
}

namespace {

// Text of a few kilobytes with lines numbered, so an edit stays local.
std::string Release(int edition) {
    std::string text;
    for (int line = 0; line < 400; ++line) {
        text += "line " + std::to_string(line) + " of the drawing settings";
        if (line % 97 == 0) text += " edition " + std::to_string(edition);
        text += "\n";
    }
    return text;
}

}  // namespace

TEST_F(DownloadsTest, PatchesRebuildFromTheLocalCopyElseTheFileComesWhole) {
    const std::string oldBytes = Release(1);
    const std::string newBytes = Release(2);
    const std::string oldMd5 = Md5Hex(oldBytes);
    const std::string newMd5 = Md5Hex(newBytes);
    std::string patch;
    ASSERT_TRUE(MakePatch(oldBytes, newBytes, patch));
    std::string otherBytes = newBytes;
    otherBytes[10] = 'X';
    std::string otherPatch;
    ASSERT_TRUE(MakePatch(oldBytes, otherBytes, otherPatch));
    ASSERT_LT(patch.size() * 4, newBytes.size());

    // Past the first two, each name stands for one reason a file comes whole.
    const char* names[] = {"a.dll",     "scan.txt",   "edited.txt",
                           "short.txt", "larger.txt", "unlisted.txt"};
    std::vector<DeltaEntry> entries;
    DownloadQueue queue;
    for (const char* name : names) {
        const std::string path = name;
        server_.AddRoute("/update/1.3/" + path, 200, newBytes);
        ASSERT_TRUE(
            WriteBytes(dir_ + Utf8ToWide(path), path == "edited.txt" ? oldBytes + "#" : oldBytes));
        if (path != "unlisted.txt") entries.push_back({path, newMd5, oldMd5, patch.size()});
        QueuedFile file{newMd5, path};
        file.listedSize = newBytes.size();
        queue.push_back(file);
    }
    // The scan's digest stands for the local file while it keeps its stamp.
    FileStamp stamp;
    ASSERT_TRUE(ReadFileStamp(dir_ + L"scan.txt", stamp));
    queue[1].readAndDiffered = stamp;
    queue[1].readMd5 = oldMd5;
    entries[3].patchSize = patch.size() / 2;        // short.txt: more arrives than listed
    queue[4].listedSize = kMaxPatchedFileSize + 1;  // larger.txt: comes whole
    server_.AddRoute("/update/1.3/comm/delta.lst", 200, FormatDeltaIndex(entries));
    const std::string patchPath = "/update/1.3/" + DeltaPatchPath(oldMd5, newMd5);
    server_.AddRoute(patchPath, 200, patch);

    std::vector<std::wstring> texts = Run(queue);
    ASSERT_EQ(2 * queue.size(), texts.size());
    for (size_t i = 0; i < queue.size(); ++i) {
        const std::string& path = queue[i].relativePath;
        EXPECT_EQ(After(L"/update/1.3/" + Utf8ToWide(path), 0), texts[2 * i + 1]);
        EXPECT_EQ(newBytes, ReadBytes(dir_ + Utf8ToWide(path))) << path;
        const size_t whole = (path == "a.dll" || path == "scan.txt") ? 0 : 1;
        EXPECT_EQ(whole, server_.requestCount("/update/1.3/" + path)) << path;
    }
    EXPECT_EQ(1u, server_.requestCount("/update/1.3/comm/delta.lst"));
    EXPECT_FALSE(FileExists(dir_ + L"updateErr.log"));
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY,
              GetFileAttributesW((dir_ + L"a.dll").c_str()) & FILE_ATTRIBUTE_READONLY);

    // The same patch, now damaged or rebuilding other bytes: whole files.
    entries[0].patchSize = newBytes.size() / 2;
    server_.AddRoute("/update/1.3/comm/delta.lst", 200, FormatDeltaIndex(entries));
    for (const std::string& bad :
         {patch.substr(0, patch.size() - 3), std::string(patch.size(), 'z'), otherPatch}) {
        ASSERT_TRUE(SetFileAttributesW((dir_ + L"a.dll").c_str(), FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(WriteBytes(dir_ + L"a.dll", oldBytes));
        server_.AddRoute(patchPath, 200, bad);
        server_.ClearRequests();
        Run({queue[0]});
        EXPECT_EQ(newBytes, ReadBytes(dir_ + L"a.dll"));
        EXPECT_EQ(1u, server_.requestCount("/update/1.3/a.dll"));
        EXPECT_EQ(1u, server_.requestCount(patchPath));
    }
}
