#include "engine/file_list.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/release_statement.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/fields.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/paths.h"

namespace {

constexpr size_t PATH_BUFFER_UNITS = 260;
constexpr size_t SERVER_PATH_UNITS = 256;
// Far above any real list: a larger one is a failed fetch, not a run that
// tries to hold it in memory.
constexpr size_t FILE_LIST_LIMIT = 256u << 20;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/' || c == L'|'; }

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

// Windows drops trailing dots and blanks of a path component, so "..." or
// ".. " can still climb a level: any component made only of those with two
// dots counts as a parent reference.
bool IsParentComponent(const std::wstring& component) {
    int dots = 0;
    for (wchar_t c : component) {
        if (c == L'.') {
            ++dots;
        } else if (c != L' ') {
            return false;
        }
    }
    return dots >= 2;
}

// The path as the file system resolves it; empty when it cannot.
std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return std::wstring();
    full.resize(length);
    return full;
}

// File name of the running executable, after its last separator.
std::wstring OwnFileName() {
    wchar_t path[PATH_BUFFER_UNITS] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(PATH_BUFFER_UNITS));
    std::wstring full(path, length < PATH_BUFFER_UNITS ? length : PATH_BUFFER_UNITS - 1);
    size_t last = full.find_last_of(L"\\/");
    return last == std::wstring::npos ? full : full.substr(last + 1);
}

}  // namespace

bool IsSafeRelativePath(const std::wstring& path) {
    if (path.empty()) return false;
    // Drive letters, alternate data streams and device forms all need a colon.
    if (path.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        if (IsParentComponent(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

bool LiesBelow(const std::wstring& directory, const std::wstring& path) {
    std::wstring base = FullPath(directory);
    const std::wstring full = FullPath(path);
    if (base.empty() || full.empty()) return false;
    if (base.back() != L'\\') base += L'\\';
    if (full.size() <= base.size() || _wcsnicmp(full.c_str(), base.c_str(), base.size()) != 0) {
        return false;
    }
    // The text lies below; a folder on the way that is a link may still lead
    // outside. Folders that do not exist yet are created as plain ones.
    for (size_t end = full.find(L'\\', base.size()); end != std::wstring::npos;
         end = full.find(L'\\', end + 1)) {
        const DWORD attributes = GetFileAttributesW(full.substr(0, end).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) break;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    }
    return true;
}

const wchar_t* ContainsNoCase(const wchar_t* text, const wchar_t* pattern) {
    if (text == nullptr || *text == L'\0' || pattern == nullptr) return nullptr;
    for (const wchar_t* start = text; *start != L'\0'; ++start) {
        const wchar_t* t = start;
        const wchar_t* p = pattern;
        while (*p != L'\0' && *t != L'\0' && FoldAscii(*t) == FoldAscii(*p)) {
            ++t;
            ++p;
        }
        if (*p == L'\0') return start;
        if (*t == L'\0') return nullptr;
    }
    return nullptr;
}

bool FetchFileList(const std::wstring& exeDirectory, DownloadQueue& queue, float serverVersion,
                   const std::string& announcedMd5, const AnnouncedRelease& announced) {
    std::wstring localList = ExeRelativePath(L"/comm/file.lst");
    wchar_t serverPath[SERVER_PATH_UNITS] = {};
    _snwprintf_s(serverPath, SERVER_PATH_UNITS, _TRUNCATE, FILE_LIST_PATH_FORMAT,
                 UPDATE_PATH_PREFIX, VersionDirectory(serverVersion));
    // A failed fetch leaves the previous copy, which is then read as it stands.
    // A list that may be cut short is held against the digest the service
    // announced for it, when it announced one.
    const auto matchesAnnounced = [&announcedMd5](const std::string& list) {
        return !IsMd5Hex(announcedMd5) || Md5Hex(list) == announcedMd5;
    };
    StatedDigests stated;
    if (ReleaseSigningEnabled()) {
        FetchStatedList(serverVersion, localList, announced, FILE_LIST_LIMIT, stated);
    } else {
        DownloadTrustedFile(serverPath, localList, FILE_LIST_LIMIT, matchesAnnounced);
    }

    std::vector<std::string> lines;
    if (!ReadLines(localList, lines)) return false;

    const std::wstring ownName = OwnFileName();
    // One buffer for every file's content, so no file costs a fresh allocation.
    std::string content;
    for (const std::string& line : lines) {
        std::vector<std::string> fields;
        if (SplitFields(line, fields, "=") != 3) continue;
        unsigned long listedSize = strtoul(fields[2].c_str(), nullptr, 10);
        if (listedSize == 0) continue;

        std::wstring widePath = Utf8ToWide(fields[0]);
        // The running updater is never replaced from the list.
        if (!ownName.empty() && ContainsNoCase(widePath.c_str(), ownName.c_str()) != nullptr)
            continue;
        // Nothing outside the product directory is measured, created or queued,
        // nor the file every replacement is staged in.
        if (!IsSafeRelativePath(widePath) || _wcsicmp(widePath.c_str(), STAGING_FILE_NAME) == 0)
            continue;
        std::wstring localPath = JoinPath(exeDirectory, widePath);
        if (!LiesBelow(exeDirectory, localPath)) continue;

        // Size and content come from one open; a file another process holds open
        // for writing cannot be opened and so counts as different.
        const MeasuredFile local = MeasureAndRead(localPath, listedSize, content);
        QueuedFile queued{fields[1], fields[0]};
        queued.listedSize = strtoull(fields[2].c_str(), nullptr, 10);
        queued.expectedSha256 = StatedSha256(stated, fields[0]);
        if (local.bytesRead > 0) {
            queued.readMd5 = Md5Hex(content.data(), static_cast<size_t>(local.bytesRead));
            if (queued.readMd5 == fields[1]) continue;
            queued.readAndDiffered = local.stamp;
        }
        queue.push_back(std::move(queued));
    }
    return true;
}
