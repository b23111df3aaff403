#include "support/owned_files.h"

#include <windows.h>
#include <bcrypt.h>

#include <cwchar>
#include <cwctype>

#include "support/paths.h"
#include "support/unique_handle.h"

namespace {

constexpr size_t NAME_UNITS = 64;

// The low half of the start time: with the process id it tells a process
// from a later one that reuses the id.
unsigned long StartOf(HANDLE process) {
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return created.dwLowDateTime;
}

bool ProcessIsLive(unsigned long id, unsigned long start) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process.valid()) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.get(), &exitCode) && exitCode != STILL_ACTIVE) return false;
    return StartOf(process.get()) == start;
}

bool SameTextNoCase(const wchar_t* a, const wchar_t* b, size_t length) {
    return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace

std::wstring OwnedFileName(const wchar_t* prefix, const wchar_t* suffix) {
    unsigned long random = 0;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&random), sizeof(random),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        random = static_cast<unsigned long>(GetTickCount64()) ^ GetCurrentThreadId();
    }
    wchar_t name[NAME_UNITS] = {};
    _snwprintf_s(name, NAME_UNITS, _TRUNCATE, L"%s%lx-%08lx-%08lx%s", prefix, GetCurrentProcessId(),
                 StartOf(GetCurrentProcess()), random, suffix);
    return name;
}

bool IsNamedLike(const std::wstring& name, const wchar_t* prefix, const wchar_t* suffix) {
    const size_t prefixLength = wcslen(prefix);
    const size_t suffixLength = wcslen(suffix);
    return name.size() >= prefixLength + suffixLength &&
           SameTextNoCase(name.c_str(), prefix, prefixLength) &&
           SameTextNoCase(name.c_str() + name.size() - suffixLength, suffix, suffixLength);
}

bool IsLeftover(const std::wstring& name, const wchar_t* prefix, const wchar_t* suffix) {
    if (!IsNamedLike(name, prefix, suffix)) return false;
    const size_t prefixLength = wcslen(prefix);
    const size_t suffixLength = wcslen(suffix);
    // "<id>-<start>-<random>", each a run of hexadecimal digits.
    unsigned long parts[3] = {};
    const wchar_t* at = name.c_str() + prefixLength;
    const wchar_t* end = name.c_str() + name.size() - suffixLength;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && (at == end || *at++ != L'-')) return false;
        wchar_t* after = nullptr;
        if (at == end || !iswxdigit(*at)) return false;
        parts[i] = wcstoul(at, &after, 16);
        at = after;
    }
    if (at != end) return false;
    const unsigned long id = parts[0];
    const unsigned long start = parts[1];
    return !ProcessIsLive(id, start);
}

void RemoveLeftovers(const std::wstring& folder, const wchar_t* prefix, const wchar_t* suffix) {
    const std::wstring pattern = JoinPath(folder, std::wstring(prefix) + L"*" + suffix);
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (!IsLeftover(found.cFileName, prefix, suffix)) continue;
        const std::wstring path = JoinPath(folder, found.cFileName);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
