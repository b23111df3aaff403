// Replaces one local file with DownloadFile and reports the peak working set.
// Usage: peak_memory_bench BASE_URL URL_PATH LOCAL_PATH EXPECTED_MD5
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "engine/download.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    SetDownloadBaseUrlForTesting(argv[1]);
    PROCESS_MEMORY_COUNTERS before = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    const int result = DownloadFile(argv[2], argv[3], WideToAnsi(argv[4]));
    PROCESS_MEMORY_COUNTERS after = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    printf("result %d\n", result);
    printf("start_bytes %llu\n", static_cast<unsigned long long>(before.WorkingSetSize));
    printf("peak_bytes %llu\n", static_cast<unsigned long long>(after.PeakWorkingSetSize));
    return 0;
}
