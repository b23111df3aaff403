// Where releases are signed, a new file list is taken only under a release
// statement this updater accepts: signed with the publisher's key, stating
// the number the version service announced and the list's SHA-256, not older
// than the installed version nor than the statement accepted before (unless a
// rollback issued later), and not expired by this machine's clock. Every
// listed file and the main program are then held to the statement's SHA-256
// digests as well as to their MD5.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "engine/release_statement_text.h"

// The accepted statement, kept for the next run: it is what that run's
// statement must not be older than.
constexpr wchar_t KEPT_STATEMENT_PATH[] = L"comm\\release.txt";

// What the version check learnt that a statement must agree with.
struct AnnouncedRelease {
    int32_t lastVer = 0;           // the reply's number, as sent
    std::string installedVersion;  // "ver" of config\config.ini
};

// Listed path (as in file.lst) to its SHA-256 from the accepted file.sha256.
using StatedDigests = std::unordered_map<std::string, std::string>;

// Why statement is refused; empty when it is accepted. lastAccepted: the
// kept statement, null when there is none. now: seconds since 1970 (UTC).
std::string StatementRefusal(const ReleaseStatement& statement, const AnnouncedRelease& announced,
                             const ReleaseStatement* lastAccepted, long long now);

// The machine's clock, in seconds since 1970 (UTC).
long long UtcNow();

// For a signed build: fetches the statement of the server version and its
// signature, then the list and file.sha256 beside it. Only when all hold
// together is the list written to localList and the statement kept (both by
// replacement), digests filled and true returned; otherwise nothing is
// written, and one line to the diagnostics output says why.
bool FetchStatedList(float serverVersion, const std::wstring& localList,
                     const AnnouncedRelease& announced, size_t listLimit, StatedDigests& digests);

// The listed path's SHA-256; empty when the accepted statement gave none.
std::string StatedSha256(const StatedDigests& digests, const std::string& listedPath);

// True when a fetched file has the listed MD5 and, in a signed build, also
// the stated SHA-256 (read once for both).
bool FetchedFileMatches(const std::wstring& path, const std::string& expectedMd5,
                        const std::string& expectedSha256);

// True when path holds the main program the kept statement names.
bool MainProgramIsStated(const std::wstring& path);
