// DownloadQueuedFiles over a queue read from a file of "MD5 relative\path"
// lines, into the folder of this executable.
// Usage: download_bench BASE_URL QUEUE_FILE
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "engine/file_downloads.h"
#include "engine/file_list.h"
#include "engine/server_endpoints.h"
#include "support/paths.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    SetDownloadBaseUrlForTesting(argv[1]);
    DownloadQueue queue;
    std::ifstream in(argv[2]);
    std::string digest;
    std::string path;
    while (in >> digest >> path) queue.push_back(QueuedFile{digest, path});

    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    DownloadQueuedFiles(queue, DirectoryOf(nullptr), nullptr, 1.3f);
    QueryPerformanceCounter(&end);
    printf("files %u\n", static_cast<unsigned>(queue.size()));
    printf("seconds %.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) /
                                 static_cast<double>(frequency.QuadPart));
    return 0;
}
