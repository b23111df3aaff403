// The file list of a server version and the queue of files that differ.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/release_statement.h"
#include "engine/version_numbers.h"
#include "support/file_io.h"

struct QueuedFile {
    std::string expectedMd5;   // as listed
    std::string relativePath;  // as listed, UTF-8
    // The local file as the scan read it whole and found another digest; while
    // it keeps this stamp the download step need not read and hash it again.
    std::optional<FileStamp> readAndDiffered = std::nullopt;
    std::string readMd5 = std::string();  // the digest the scan found then; empty when not read
    unsigned long long listedSize = 0;    // as listed; 0 when unknown
    // Where releases are signed, the accepted statement's SHA-256 (lowercase);
    // empty otherwise, and then a signed build writes nothing for the file.
    std::string expectedSha256 = std::string();
};
using DownloadQueue = std::vector<QueuedFile>;

// False for a listed path that could reach outside the product directory: a
// ".." component or a colon. A leading separator is kept: joined to the
// directory it stays inside (C:\App\ and /x.txt name C:\App\x.txt).
bool IsSafeRelativePath(const std::wstring& path);

// Whether localPath, resolved as the file system does and in any letter
// case, is one of the files the updater writes for itself in exeDirectory
// (the pending program and its record, the local lists, staging files).
bool IsUpdaterOwnFile(const std::wstring& exeDirectory, const std::wstring& localPath);

// Fetches the list into comm\file.lst and queues the files that are missing or
// differ. False when the local copy cannot be read (queue left empty).
// announcedMd5: the list's digest as the version service gave it ("skinmd5");
// when it is one, a fetched list whose length could not be checked is taken
// only with that digest. announced: what a signed build's release statement
// must agree with (FetchStatedList).
bool FetchFileList(const std::wstring& exeDirectory, DownloadQueue& queue, float serverVersion,
                   const std::string& announcedMd5 = std::string(),
                   const AnnouncedRelease& announced = AnnouncedRelease());

// First occurrence of pattern in text, ASCII letters compared without case;
// null when absent or when text is null or empty.
const wchar_t* ContainsNoCase(const wchar_t* text, const wchar_t* pattern);
