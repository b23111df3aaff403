// The no-op scan and its floor, over the comm\file.lst next to this executable,
// in PAIRS pairs taken in turns, so both meet the same load of the machine:
//   noop_scan_bench BASE_URL PAIRS
// Each pair prints "pair SCAN_SECONDS FLOOR_SECONDS".
// The scan is FetchFileList; nobody answers at BASE_URL, so the local copy of
// the list is read. The floor is a bare loop that opens each listed file,
// reads it whole, closes it and hashes it once.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bench/lib/clock.h"
#include "engine/download.h"
#include "engine/file_list.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/fields.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/paths.h"

namespace {

// Seconds of one FetchFileList; queued receives the length of its queue.
double Scan(unsigned& queued) {
    const double start = Now();
    DownloadQueue queue;
    FetchFileList(DirectoryOf(nullptr), queue, 1.3f);
    const double seconds = Now() - start;
    queued = static_cast<unsigned>(queue.size());
    return seconds;
}

// Seconds of the bare loop; differing receives the files that did not match.
double Floor(unsigned& differing) {
    struct Listed {
        std::wstring path;
        std::string md5;
    };
    std::vector<std::string> lines;
    ReadLines(ExeRelativePath(L"comm\\file.lst"), lines);
    const std::wstring directory = DirectoryOf(nullptr);
    std::vector<Listed> files;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        if (SplitFields(line, fields, "=") == 3)
            files.push_back(Listed{directory + Utf8ToWide(fields[0]), fields[1]});
    }

    std::string buffer;
    differing = 0;
    const double start = Now();
    for (const Listed& file : files) {
        HANDLE handle = CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            ++differing;
            continue;
        }
        LARGE_INTEGER size = {};
        GetFileSizeEx(handle, &size);
        const DWORD length = static_cast<DWORD>(size.QuadPart);
        if (buffer.size() < length) buffer.resize(length);
        DWORD got = 0;
        ReadFile(handle, &buffer[0], length, &got, nullptr);
        CloseHandle(handle);
        if (Md5Hex(buffer.data(), got) != file.md5) ++differing;
    }
    return Now() - start;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        printf("usage: noop_scan_bench BASE_URL PAIRS\n");
        return 2;
    }
    SetDownloadBaseUrlForTesting(AnsiToWide(argv[1]));
    // The updater's version check has loaded urlmon before the scan runs; a
    // first failed fetch here does the same. A first floor pass lets what that
    // started settle. Neither is timed.
    std::string ignored;
    const double warmStart = Now();
    DownloadToMemory(std::string(argv[1]) + "/warm-up", ignored);
    const double warmSeconds = Now() - warmStart;
    unsigned queued = 0;
    unsigned differing = 0;
    Floor(differing);

    printf("first_fetch_seconds %.3f\n", warmSeconds);
    const int pairs = atoi(argv[2]);
    for (int pair = 0; pair < pairs; ++pair) {
        double scan = 0;
        double floor = 0;
        if (pair % 2 == 0) {
            scan = Scan(queued);
            floor = Floor(differing);
        } else {
            floor = Floor(differing);
            scan = Scan(queued);
        }
        printf("pair %.3f %.3f\n", scan, floor);
    }
    printf("queued %u\ndiffering %u\n", queued, differing);
    return 0;
}
