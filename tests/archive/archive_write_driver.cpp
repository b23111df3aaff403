// Writes an archive for the unzip check:
//   archive_write_driver ARCHIVE PASSWORD|- [ENTRY-NAME SOURCE-FILE]...
//   archive_write_driver --settings FILE PASSWORD   (a settings file saved as archive)
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "support/archive_writer.h"
#include "support/encoding.h"
#include "support/map_txt_file.h"

int main() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args != nullptr && count == 4 && std::wstring(args[1]) == L"--settings") {
        {
            CMapTxtFileA settings(args[2]);
            settings.SetPassword(WideToAnsi(args[3]).c_str());
        }
        std::printf("saved %u\n", LastArchiveError);
        LocalFree(args);
        return LastArchiveError == ARCHIVE_OK ? 0 : 1;
    }
    if (args == nullptr || count < 3 || count % 2 == 0) {
        std::printf("usage: archive_write_driver ARCHIVE PASSWORD|- [NAME FILE]...\n");
        return 2;
    }
    std::string password = WideToAnsi(args[2]);
    ArchiveHandle* archive = CreateArchive(args[1], password == "-" ? nullptr : password.c_str());
    std::printf("create %u\n", LastArchiveError);
    if (archive == nullptr) return 1;
    int failures = 0;
    for (int i = 3; i + 1 < count; i += 2) {
        std::ifstream in(args[i + 1], std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        uint32_t result = AddArchiveEntry(archive, args[i], data.data(), data.size());
        std::printf("add %u\n", result);
        if (result != ARCHIVE_OK) ++failures;
    }
    uint32_t closed = CloseArchive(archive);
    std::printf("close %u\n", closed);
    LocalFree(args);
    return failures == 0 && closed == ARCHIVE_OK ? 0 : 1;
}
