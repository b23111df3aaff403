// veldra-publish: writes a release for the download server and the version service.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tools/publish/publish.h"

namespace {

constexpr wchar_t USAGE[] =
    L"usage: veldra-publish <release-folder> <X.Y.Z> <output-folder> [--package FILE] [--force] "
    L"[--replace]\n"
    L"  writes update\\<version directory>\\... with comm\\file.lst, "
    L"update\\<major>.0\\veldra.exe,\n"
    L"  optionally update\\last\\veldrazip.exe, and the replies index3.php\\Ver2Control\\0\\0\\0 "
    L"and \\1\n"
    L"  --force    the replies announce a forced update (status 3432)\n"
    L"  --replace  replace another version that shares the version directory\n";

// The console takes UTF-16; a file or pipe gets UTF-8.
void Print(FILE* stream, const std::wstring& text) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string utf8;
    ToListUtf8(text, utf8);
    fwrite(utf8.data(), 1, utf8.size(), stream);
    fflush(stream);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    PublishRequest request;
    std::wstring positional[3];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argument == L"--force") {
            request.force = true;
        } else if (argument == L"--replace") {
            request.replace = true;
        } else if (argument == L"--package" && i + 1 < argc) {
            request.packagePath = argv[++i];
        } else if (argument == L"--help" || argument == L"-h") {
            Print(stdout, USAGE);
            return PUBLISH_OK;
        } else if (argument.rfind(L"--", 0) == 0 || count == 3) {
            Print(stderr, L"veldra-publish: unexpected argument " + argument + L"\n" + USAGE);
            return PUBLISH_USAGE;
        } else {
            positional[count++] = argument;
        }
    }
    if (count != 3) {
        Print(stderr, USAGE);
        return PUBLISH_USAGE;
    }
    request.releaseDir = positional[0];
    request.versionText = positional[1];
    request.outputDir = positional[2];
    std::wstring report;
    int result = Publish(request, report);
    Print(result == PUBLISH_OK ? stdout : stderr, L"veldra-publish: " + report + L"\n");
    return result;
}
