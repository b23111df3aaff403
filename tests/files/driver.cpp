// files_driver fetch BASE_URL VERSION [LIST_MD5]: runs FetchFileList against
// BASE_URL, with LIST_MD5 as the list's announced digest, and prints "ok=0|1" and one "Q <md5> <hex
// path>" line per queued file, with " read" after it when the scan read the file whole and found it
// different.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "engine/file_list.h"
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

int wmain(int argc, wchar_t** argv) {
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
    fflush(stdout);
    return 0;
}
