// Times one FetchFileList over the comm\file.lst next to this executable; the
// fetch itself goes to BASE_URL, which nobody answers, so the local copy is read.
#include <windows.h>
#include <stdio.h>

#include <string>

#include "engine/file_list.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/paths.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        printf("usage: noop_scan_bench BASE_URL\n");
        return 2;
    }
    SetDownloadBaseUrlForTesting(AnsiToWide(argv[1]));
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER start = {};
    LARGE_INTEGER end = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    DownloadQueue queue;
    bool ok = FetchFileList(DirectoryOf(nullptr), queue, 1.3f);
    QueryPerformanceCounter(&end);
    double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    printf("ok %d\nqueued %u\nseconds %.3f\n", ok ? 1 : 0, static_cast<unsigned>(queue.size()),
           seconds);
    return 0;
}
