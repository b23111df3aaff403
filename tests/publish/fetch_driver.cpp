// Runs the updater's file list step (and optionally the downloads) in the
// folder this copy of the driver lives in, and prints what it queued.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/file_downloads.h"
#include "engine/file_list.h"
#include "engine/server_endpoints.h"
#include "support/paths.h"

namespace {

void PrintQueue(const char* label, bool read, const DownloadQueue& queue) {
    printf("%s read=%d count=%u\n", label, read ? 1 : 0, static_cast<unsigned>(queue.size()));
    for (const auto& file : queue)
        printf("queued %s %s\n", file.expectedMd5.c_str(), file.relativePath.c_str());
}

}  // namespace

// usage: publish_fetch_driver <base url> <server version> [download]
int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    SetDownloadBaseUrlForTesting(argv[1]);
    float serverVersion = static_cast<float>(_wtof(argv[2]));
    std::wstring exeDirectory = DirectoryOf(nullptr);
    DownloadQueue queue;
    bool read = FetchFileList(exeDirectory, queue, serverVersion);
    PrintQueue("first", read, queue);
    if (argc > 3 && std::wstring(argv[3]) == L"download") {
        DownloadQueuedFiles(queue, exeDirectory, nullptr, serverVersion);
        DownloadQueue again;
        read = FetchFileList(exeDirectory, again, serverVersion);
        PrintQueue("again", read, again);
    }
    fflush(stdout);
    return 0;
}
