// Serves a folder over loopback until a stop file appears (at most an hour).
// Usage: bench_http_server ROOT PORT_FILE STOP_FILE
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/http_test_server.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    HttpTestServer server;
    if (!server.Start()) return 1;
    server.ServeDirectory(argv[1]);
    // Written under another name first, so a reader never sees half a number.
    const std::wstring portFile = argv[2];
    const std::wstring partial = portFile + L".part";
    FILE* out = _wfopen(partial.c_str(), L"wb");
    if (!out) return 1;
    fprintf(out, "%d\n", server.port());
    fclose(out);
    MoveFileExW(partial.c_str(), portFile.c_str(), MOVEFILE_REPLACE_EXISTING);
    for (int waited = 0; waited < 36000; ++waited) {
        if (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    server.Stop();
    return 0;
}
