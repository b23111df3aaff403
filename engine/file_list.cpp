#include "engine/file_list.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <cwchar>
#include <unordered_set>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/release_statement.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/fields.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/owned_files.h"
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

// File name of the running executable, after its last separator.
std::wstring OwnFileName() {
    wchar_t path[PATH_BUFFER_UNITS] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(PATH_BUFFER_UNITS));
    std::wstring full(path, length < PATH_BUFFER_UNITS ? length : PATH_BUFFER_UNITS - 1);
    size_t last = full.find_last_of(L"\\/");
    return last == std::wstring::npos ? full : full.substr(last + 1);
}

// Files the updater writes itself: a list naming one, in whatever spelling,
// would have the run overwrite its own state.
constexpr const wchar_t* OWN_FILES[] = {L"~tmp.bak",        L"~tmp.md5",
                                        STAGING_FILE_NAME,  L"comm\\file.lst",
                                        L"comm\\delta.lst", L"comm\\release.txt"};

bool SameNameNoCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
    return CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) ==
           CSTR_EQUAL;
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

bool IsUpdaterOwnFile(const std::wstring& exeDirectory, const std::wstring& localPath) {
    const std::wstring full = FullPath(localPath);
    if (full.empty()) return false;
    const std::wstring name = full.substr(full.find_last_of(L'\\') + 1);
    if (IsNamedLike(name, STAGING_PREFIX, STAGING_SUFFIX)) return true;
    for (const wchar_t* own : OWN_FILES) {
        // The name first: most listed files end in none of these.
        const wchar_t* ownName = wcsrchr(own, L'\\') ? wcsrchr(own, L'\\') + 1 : own;
        if (!SameNameNoCase(name.c_str(), name.size(), ownName, wcslen(ownName))) continue;
        const std::wstring ownFull = FullPath(JoinPath(exeDirectory, own));
        if (SameNameNoCase(full.c_str(), full.size(), ownFull.c_str(), ownFull.size())) return true;
    }
    return false;
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

    const std::wstring ownName = OwnFileName();
    CheckedFolders plainFolders;
    std::unordered_set<std::wstring> sweptFolders;
    // One buffer for every file's content, so no file costs a fresh allocation.
    std::string content;
    std::vector<std::string> fields;
    // Line by line: a list of many short lines costs no more than a few.
    return ForEachLine(localList, [&](const std::string& line) {
        fields.clear();
        if (SplitFields(line, fields, "=") != 3) return;
        unsigned long listedSize = strtoul(fields[2].c_str(), nullptr, 10);
        if (listedSize == 0) return;

        std::wstring widePath = Utf8ToWide(fields[0]);
        // The running updater is never replaced from the list.
        if (!ownName.empty() && ContainsNoCase(widePath.c_str(), ownName.c_str()) != nullptr)
            return;
        // Nothing outside the product directory is measured, created or queued,
        // nor a file the updater keeps for itself.
        if (!IsSafeRelativePath(widePath)) return;
        std::wstring localPath = JoinPath(exeDirectory, widePath);
        if (!LiesBelow(exeDirectory, localPath, &plainFolders) ||
            IsUpdaterOwnFile(exeDirectory, localPath))
            return;
        // What an ended process staged here was never put in place.
        const std::wstring folder = DirectoryOf(localPath.c_str());
        if (sweptFolders.insert(folder).second)
            RemoveLeftovers(folder, STAGING_PREFIX, STAGING_SUFFIX);

        // Size and content come from one open; a file another process holds open
        // for writing cannot be opened and so counts as different.
        const MeasuredFile local = MeasureAndRead(localPath, listedSize, content);
        QueuedFile queued{fields[1], fields[0]};
        queued.listedSize = strtoull(fields[2].c_str(), nullptr, 10);
        queued.expectedSha256 = StatedSha256(stated, fields[0]);
        if (local.bytesRead > 0) {
            queued.readMd5 = Md5Hex(content.data(), static_cast<size_t>(local.bytesRead));
            if (queued.readMd5 == fields[1]) return;
            queued.readAndDiffered = local.stamp;
        }
        queue.push_back(std::move(queued));
    });
}
