// Runs one support operation whose result shows on standard output:
//   support_driver load <path>      loads (and saves) a key/value file
//   support_driver format <count>   a format text of count bytes
//   support_driver percent          a %s argument holding percent signs
//   support_driver long             a formatted text longer than the buffer
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "support/debug_trace.h"
#include "support/map_txt_file.h"

int main() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count < 2) return 2;
    const std::wstring mode = args[1];
    const std::wstring argument = count > 2 ? args[2] : L"";
    LocalFree(args);

    if (mode == L"load") {
        CMapTxtFileA file(argument);
        return 0;
    }
    if (mode == L"format") {
        const std::string format(static_cast<size_t>(_wtoi(argument.c_str())), 'x');
        DebugTrace(format.c_str());
        return 0;
    }
    if (mode == L"percent") {
        DebugTrace("%s", "rate=100%d%s%%");
        return 0;
    }
    if (mode == L"long") {
        const std::string text(10000, 'y');
        DebugTrace("<%s>", text.c_str());
        return 0;
    }
    return 2;
}
