// One update of the product folder of this executable, as the updater runs
// it: FetchFileList, then DownloadQueuedFiles (patches where the server offers
// them), timed together.
//   delta_update_bench BASE_URL
// Prints "queued N" and "seconds S".
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/lib/clock.h"
#include "engine/file_downloads.h"
#include "engine/file_list.h"
#include "engine/server_endpoints.h"
#include "support/paths.h"

namespace {

constexpr float VERSION = 1.3f;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        printf("usage: delta_update_bench BASE_URL\n");
        return 2;
    }
    SetDownloadBaseUrlForTesting(argv[1]);
    const std::wstring directory = DirectoryOf(nullptr);
    const double start = Now();
    DownloadQueue queue;
    if (!FetchFileList(directory, queue, VERSION)) return 1;
    DownloadQueuedFiles(queue, directory, nullptr, VERSION);
    printf("queued %u\nseconds %.3f\n", static_cast<unsigned>(queue.size()), Now() - start);
    return 0;
}
