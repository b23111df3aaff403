// Stand-in for the product's main program. Appends "path|working dir|command
// line" to started.txt beside itself; with "--hold-ms N" (or a file hold.txt
// beside it holding N) it keeps its own file open without write sharing for up
// to N ms, writes locked.txt once it holds it, and lets go early when
// release.txt appears.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr DWORD DEFAULT_HOLD_MS = 5000;
constexpr DWORD POLL_MS = 50;

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

void AppendLine(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// 0 when nothing asks for a hold.
DWORD HoldMilliseconds(const wchar_t* commandLine, const std::wstring& directory) {
    const wchar_t* option = std::wcsstr(commandLine, L"--hold-ms");
    if (option) return static_cast<DWORD>(std::wcstoul(option + 9, nullptr, 10));
    const std::wstring holdFile = directory + L"hold.txt";
    if (!Exists(holdFile)) return 0;
    char text[32] = {};
    HANDLE file = CreateFileW(holdFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD read = 0;
        ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
        CloseHandle(file);
    }
    const DWORD value = static_cast<DWORD>(std::strtoul(text, nullptr, 10));
    return value ? value : DEFAULT_HOLD_MS;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::wstring self = OwnPath();
    const std::wstring directory = self.substr(0, self.find_last_of(L"\\/") + 1);
    const wchar_t* commandLine = GetCommandLineW();
    wchar_t workDir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, workDir);

    AppendLine(directory + L"started.txt",
               ToUtf8(self) + "|" + ToUtf8(workDir) + "|" + ToUtf8(commandLine) + "\r\n");

    const DWORD holdMs = HoldMilliseconds(commandLine, directory);
    if (holdMs == 0) return 0;
    HANDLE held = CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    AppendLine(directory + L"locked.txt", "locked\r\n");
    const std::wstring release = directory + L"release.txt";
    for (DWORD waited = 0; waited < holdMs && !Exists(release); waited += POLL_MS) Sleep(POLL_MS);
    CloseHandle(held);
    return 0;
}
