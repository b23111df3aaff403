// The publisher's platform layer on Windows.
#include "tools/publish/publish_platform.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>

#include "support/md5.h"
#include "support/unique_handle.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8Of(const std::wstring& text, DWORD flags, bool& complete) {
    complete = true;
    if (text.empty()) return std::string();
    int size = static_cast<int>(text.size());
    int length =
        WideCharToMultiByte(CP_UTF8, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        complete = false;
        return std::string();
    }
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, flags, text.data(), size, &utf8[0], length, nullptr, nullptr);
    return utf8;
}

std::wstring WideOf(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int size = static_cast<int>(utf8.size());
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], length);
    return wide;
}

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

std::wstring FullPathWithSlash(const fs::path& path) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    std::wstring full = (length == 0 || length >= MAX_PATH * 2) ? path.wstring() : buffer;
    if (full.empty() || (full.back() != L'\\' && full.back() != L'/')) full += L'\\';
    return full;
}

// A server reading the target (or a file inside a folder) makes a rename fail
// for as long as it reads, so it is tried again for a few seconds.
bool MoveRetrying(const fs::path& source, const fs::path& target, DWORD flags) {
    constexpr int ATTEMPTS = 100;
    constexpr DWORD PAUSE_MS = 50;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
        Sleep(PAUSE_MS);
    }
    return false;
}

}  // namespace

bool PathToUtf8(const fs::path& path, std::string& utf8) {
    bool complete = false;
    utf8 = Utf8Of(path.native(), WC_ERR_INVALID_CHARS, complete);
    return complete;
}

std::string DisplayPath(const fs::path& path) {
    bool complete = false;
    // Without the strict flag an unpaired surrogate becomes U+FFFD.
    return Utf8Of(path.native(), 0, complete);
}

bool IsLinkedFolder(const fs::path& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool FoldersOverlap(const fs::path& first, const fs::path& second) {
    std::wstring a = FullPathWithSlash(first);
    std::wstring b = FullPathWithSlash(second);
    size_t shorter = std::min(a.size(), b.size());
    return std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(shorter), b.begin(),
                      [](wchar_t x, wchar_t y) { return AsciiLower(x) == AsciiLower(y); });
}

bool WriteFileThrough(const fs::path& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                      &written, nullptr) ||
                           written != bytes.size())) {
        return false;
    }
    return FlushFileBuffers(file.get()) != FALSE;
}

bool RenameOver(const fs::path& source, const fs::path& target) {
    return MoveRetrying(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool SwapFolderIn(const fs::path& staged, const fs::path& target, const fs::path& aside) {
    // Windows has no exchange of two names: the old folder goes aside first,
    // so for a moment there is none.
    bool hadOld = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (hadOld && !MoveRetrying(target, aside, 0)) return false;
    if (MoveRetrying(staged, target, 0)) return true;
    if (hadOld) MoveRetrying(aside, target, 0);
    return false;
}

std::string DigestOfFile(const fs::path& path) {
    // The updater's own digest, so both sides read a file the same way.
    return Md5OfFile(path.wstring());
}

OutputLock::~OutputLock() {
    if (token_ != -1) CloseHandle(reinterpret_cast<HANDLE>(token_));
}

bool OutputLock::Take(const fs::path& lockFile) {
    // No sharing: a second open fails for as long as this handle lives.
    HANDLE file = CreateFileW(lockFile.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    token_ = reinterpret_cast<intptr_t>(file);
    // Wine turns this lock into a POSIX lock on the host file, which keeps a
    // native publisher off the same folder too.
    OVERLAPPED first = {};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first) !=
           FALSE;
}

std::vector<fs::path> CommandArguments(int, char**) {
    // The narrow argv is in the ANSI code page; the UTF-16 command line has every name.
    std::vector<fs::path> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.emplace_back(std::wstring(wide[i]));
    LocalFree(wide);
    return arguments;
}

void WriteText(bool toError, const std::string& utf8) {
    HANDLE handle = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        std::wstring wide = WideOf(utf8);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    FILE* stream = toError ? stderr : stdout;
    fwrite(utf8.data(), 1, utf8.size(), stream);
    fflush(stream);
}
