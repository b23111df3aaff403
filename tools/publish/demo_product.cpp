// A stand-in for the product: records that it started and shows its version.
#include <windows.h>

#include <cstdio>
#include <string>

#ifndef DEMO_PRODUCT_VERSION
#define DEMO_PRODUCT_VERSION L"0.0.0"
#endif

namespace {

constexpr wchar_t VERSION[] = DEMO_PRODUCT_VERSION;
constexpr DWORD SHOW_MS = 4000;

DWORD WINAPI ShowVersion(void*) {
    std::wstring text = std::wstring(L"Veldra demo product ") + VERSION;
    MessageBoxW(nullptr, text.c_str(), L"Veldra", MB_OK | MB_ICONINFORMATION);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path = exe;
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"veldra-started.txt";
    // The demo script reads this to tell which product started.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char line[64] = {};
        _snprintf_s(line, sizeof(line), _TRUNCATE, "%ls\n", VERSION);
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
        CloseHandle(file);
    }
    // The box closes with the process, so an unattended run ends by itself.
    HANDLE thread = CreateThread(nullptr, 0, ShowVersion, nullptr, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, SHOW_MS);
        CloseHandle(thread);
    }
    return 0;
}
