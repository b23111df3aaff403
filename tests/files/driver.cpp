// files_driver fetch BASE_URL VERSION [LIST_MD5]: runs FetchFileList against
// BASE_URL, with LIST_MD5 as the list's announced digest, and prints "ok=0|1" and one "Q <md5> <hex
// path>" line per queued file, with " read" after it when the scan read the file whole and found it
// different, then "peak=<bytes>", the most memory the process held.
// files_driver download BASE_URL SERVED DIR PREFIX COUNT: fetches "/<PREFIX><i>" into DIR for i
// below COUNT, each with the digest of SERVED\<PREFIX><i>, and prints "pid=<hex> ok=<n>
// failed=<n> wrong=<n>": wrong counts files left with bytes neither served nor "old <name>".
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>
#include <psapi.h>

#include <string>

#include "engine/download.h"
#include "engine/file_list.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "engine/server_endpoints.h"
#include "support/paths.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 0xF];
    }
    return text;
}

}  // namespace

int Download(const std::wstring& servedDir, const std::wstring& dir, const std::wstring& prefix,
             int count) {
    int ok = 0;
    int failed = 0;
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring name = prefix + std::to_wstring(i);
        std::string served;
        ReadWholeFile(JoinPath(servedDir, name), served);
        const int result = DownloadFile(L"/" + name, JoinPath(dir, name), Md5Hex(served));
        std::string now;
        ReadWholeFile(JoinPath(dir, name), now);
        const std::string old = "old " + std::string(name.begin(), name.end());
        if (result == DOWNLOAD_OK && now == served) {
            ++ok;
        } else {
            ++failed;
            printf("result %d for %ls\n", result, name.c_str());
        }
        if (now != served && now != old) ++wrong;
    }
    printf("pid=%lx ok=%d failed=%d wrong=%d\n", GetCurrentProcessId(), ok, failed, wrong);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 7 && std::wstring(argv[1]) == L"download") {
        SetDownloadBaseUrlForTesting(argv[2]);
        const int result = Download(argv[3], argv[4], argv[5], _wtoi(argv[6]));
        fflush(stdout);
        return result;
    }
    if ((argc != 4 && argc != 5) || std::wstring(argv[1]) != L"fetch") {
        printf("usage: files_driver fetch BASE_URL VERSION [LIST_MD5]\n");
        return 2;
    }
    SetDownloadBaseUrlForTesting(argv[2]);
    float version = static_cast<float>(_wtof(argv[3]));
    DownloadQueue queue;
    const std::wstring announced = argc == 5 ? argv[4] : L"";
    bool ok = FetchFileList(DirectoryOf(nullptr), queue, version,
                            std::string(announced.begin(), announced.end()));
    printf("ok=%d\n", ok ? 1 : 0);
    for (const QueuedFile& file : queue) {
        printf("Q %s %s%s\n", file.expectedMd5.c_str(), Hex(file.relativePath).c_str(),
               file.readAndDiffered ? " read" : "");
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    printf("peak=%llu\n", static_cast<unsigned long long>(memory.PeakPagefileUsage));
    fflush(stdout);
    return 0;
}
