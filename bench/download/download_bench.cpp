// The download step and its floor, for the product folder of this executable;
// both take their queue from FetchFileList (version 1.3).
//   download_bench pair BASE_URL BATCHES  times DownloadQueuedFiles and, in
//                                         batches taking turns with it, a bare
//                                         loop of URLDownloadToFileA over the same
//                                         URLs into the same temporary file
//   download_bench pools BASE_URL ROUNDS  a fresh folder's queue fetched by a
//                                         pool of one and a pool of FETCH_WORKERS,
//                                         taking turns, and the bare loop of one
//                                         at a time over the same URLs
//   download_bench steps BASE_URL         what DownloadFile does, replayed one
//                                         step at a time, each step timed: the
//                                         digest reads the fetched file back,
//                                         the replacement flushes it and
//                                         renames it in
// Figures go to standard output as "name value" lines.
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/lib/clock.h"
#include "engine/file_downloads.h"
#include "engine/file_list.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/paths.h"

namespace {

constexpr float VERSION = 1.3f;
// What a signed release's statement for version 1.3 must state.
const AnnouncedRelease ANNOUNCED{130, std::string()};

// The temporary file every fetch of the updater goes through.
std::wstring TempFilePath() {
    wchar_t directory[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, directory);
    return JoinPath(directory, L"11.tmp");
}

std::string UrlOf(const std::string& baseUrl, std::string listedPath) {
    for (char& c : listedPath) {
        if (c == '\\') c = '/';
    }
    return baseUrl + "/update/1.3/" + listedPath;
}

// The bare loop: each URL fetched into the temporary file, nothing else timed.
double FloorLoop(const DownloadQueue& files, const std::string& baseUrl, unsigned& failed) {
    const std::wstring tempPath = TempFilePath();
    const std::string narrowTemp = WideToAnsi(tempPath);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    double seconds = 0;
    for (const QueuedFile& file : files) {
        const std::string url = UrlOf(baseUrl, file.relativePath);
        const double start = Now();
        if (FAILED(URLDownloadToFileA(nullptr, url.c_str(), narrowTemp.c_str(), 0, nullptr)))
            ++failed;
        seconds += Now() - start;
        // Untimed: no cached copy may answer a later fetch.
        DeleteUrlCacheEntryA(url.c_str());
    }
    CoUninitialize();
    DeleteFileW(tempPath.c_str());
    return seconds;
}

// DownloadQueuedFiles and the floor over the same queue, taken in batches that
// alternate between the two, so that both meet the same load of the machine.
int Pair(const std::string& baseUrl, int batches) {
    SetDownloadBaseUrlForTesting(AnsiToWide(baseUrl));
    const std::wstring directory = DirectoryOf(nullptr);
    double start = Now();
    DownloadQueue queue;
    if (!FetchFileList(directory, queue, VERSION, std::string(), ANNOUNCED)) return 1;
    const double scan = Now() - start;

    double ours = 0;
    double floor = 0;
    unsigned failed = 0;
    const size_t per = (queue.size() + batches - 1) / batches;
    for (size_t first = 0, batch = 0; first < queue.size(); first += per, ++batch) {
        const DownloadQueue part(queue.begin() + first,
                                 queue.begin() + std::min(first + per, queue.size()));
        const bool floorFirst = batch % 2 == 1;
        double floorPart = floorFirst ? FloorLoop(part, baseUrl, failed) : 0;
        start = Now();
        DownloadQueuedFiles(part, directory, nullptr, VERSION);
        const double oursPart = Now() - start;
        if (!floorFirst) floorPart = FloorLoop(part, baseUrl, failed);
        printf("batch %.3f %.3f\n", oursPart, floorPart);
        ours += oursPart;
        floor += floorPart;
    }
    printf("queued %u\nscan_seconds %.3f\nours %.3f\nfloor %.3f\nfloor_failed %u\n",
           static_cast<unsigned>(queue.size()), scan, ours, floor, failed);
    return 0;
}

// The product folder made fresh again: the files the queue fetched are gone.
void RemoveFetched(const DownloadQueue& queue, const std::wstring& directory) {
    for (const QueuedFile& file : queue) {
        DeleteFileW(JoinPath(directory, Utf8ToWide(file.relativePath)).c_str());
    }
}

int Pools(const std::string& baseUrl, int rounds) {
    SetDownloadBaseUrlForTesting(AnsiToWide(baseUrl));
    const std::wstring directory = DirectoryOf(nullptr);
    DownloadQueue queue;
    if (!FetchFileList(directory, queue, VERSION)) return 1;
    RemoveFetched(queue, directory);
    for (int round = 0; round < rounds; ++round) {
        double seconds[2] = {};
        // Turns alternate, so both meet the same load of the machine.
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (round + turn) % 2;
            const double start = Now();
            DownloadQueuedFilesWith(queue, directory, nullptr, VERSION,
                                    which == 0 ? 1 : FETCH_WORKERS);
            seconds[which] = Now() - start;
            RemoveFetched(queue, directory);
        }
        unsigned failed = 0;
        const double floor = FloorLoop(queue, baseUrl, failed);
        printf("round %.3f %.3f %.3f %u\n", seconds[0], seconds[1], floor, failed);
    }
    printf("queued %u\n", static_cast<unsigned>(queue.size()));
    return 0;
}

// What DownloadFile does for one queued file, step by step, with the floor's
// fetch in place of the watched one.
struct StepTimes {
    double localCheck = 0;
    double fetch = 0;
    double digest = 0;
    double replace = 0;
    double deletes = 0;
};

void ReplayOne(const QueuedFile& file, const std::wstring& directory, const std::string& baseUrl,
               StepTimes& times) {
    const std::wstring localPath = JoinPath(directory, Utf8ToWide(file.relativePath));
    const std::wstring tempPath = TempFilePath();
    const std::string narrowTemp = WideToAnsi(tempPath);
    const std::string url = UrlOf(baseUrl, file.relativePath);

    double start = Now();
    FileStamp now;
    const bool unchanged =
        file.readAndDiffered && ReadFileStamp(localPath, now) && now == *file.readAndDiffered;
    const bool current = !unchanged && Md5OfFile(localPath) == file.expectedMd5;
    times.localCheck += Now() - start;
    if (current) return;

    start = Now();
    DeleteFileW(tempPath.c_str());
    times.deletes += Now() - start;
    start = Now();
    URLDownloadToFileA(nullptr, url.c_str(), narrowTemp.c_str(), 0, nullptr);
    times.fetch += Now() - start;
    start = Now();
    DeleteUrlCacheEntryA(url.c_str());
    times.deletes += Now() - start;

    start = Now();
    const bool matches = Md5OfFile(tempPath) == file.expectedMd5;
    times.digest += Now() - start;
    if (!matches) printf("mismatch %s\n", file.relativePath.c_str());

    start = Now();
    ReplaceWithFile(localPath, tempPath);
    times.replace += Now() - start;
    start = Now();
    DeleteFileW(tempPath.c_str());
    times.deletes += Now() - start;
}

int Steps(const std::string& baseUrl) {
    SetDownloadBaseUrlForTesting(AnsiToWide(baseUrl));
    const std::wstring directory = DirectoryOf(nullptr);
    DownloadQueue queue;
    if (!FetchFileList(directory, queue, VERSION, std::string(), ANNOUNCED)) return 1;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    StepTimes times;
    const double start = Now();
    for (const QueuedFile& file : queue) ReplayOne(file, directory, baseUrl, times);
    const double seconds = Now() - start;
    CoUninitialize();
    printf("local_check %.3f\nfetch %.3f\ndigest %.3f\nreplace %.3f\n", times.localCheck,
           times.fetch, times.digest, times.replace);
    printf("deletes %.3f\nseconds %.3f\n", times.deletes, seconds);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const std::string baseUrl = argc > 2 ? WideToUtf8(argv[2]) : "";
    if (mode == L"pair" && argc == 4) return Pair(baseUrl, _wtoi(argv[3]));
    if (mode == L"steps" && argc == 3) return Steps(baseUrl);
    if (mode == L"pools" && argc == 4) return Pools(baseUrl, _wtoi(argv[3]));
    printf("usage: download_bench pair BASE_URL BATCHES | steps BASE_URL | pools BASE_URL "
           "ROUNDS\n");
    return 2;
}
