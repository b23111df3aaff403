#include "engine/release_statement.h"

#include <windows.h>
#include <stdio.h>

#include <cstdlib>
#include <vector>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/server_endpoints.h"
#include "engine/version_numbers.h"
#include "support/debug_trace.h"
#include "support/encoding.h"
#include "support/fields.h"
#include "support/file_digests.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/paths.h"

namespace {

constexpr size_t STATEMENT_LIMIT = 4096;
constexpr size_t SIGNATURE_LIMIT = 1024;
constexpr char SIGNATURE_SUFFIX[] = ".sig";
constexpr size_t SERVER_PATH_UNITS = 256;
// FILETIME counts 100 ns from 1601; the statement counts seconds from 1970.
constexpr unsigned long long TICKS_PER_SECOND = 10000000ull;
constexpr unsigned long long SECONDS_1601_TO_1970 = 11644473600ull;

// The bytes at url and their detached signature, when it is the publisher's.
bool FetchSigned(const std::string& url, size_t limit, std::string& bytes, std::string& why) {
    std::string signature;
    if (DownloadToMemory(url, bytes, limit) != DOWNLOAD_OK) {
        why = "cannot fetch " + url;
        return false;
    }
    if (DownloadToMemory(url + SIGNATURE_SUFFIX, signature, SIGNATURE_LIMIT) != DOWNLOAD_OK ||
        !VerifySignature(ReleasePublicKeyPem(), bytes, signature)) {
        why = "no valid signature for " + url;
        return false;
    }
    return true;
}

bool ReadKeptStatement(ReleaseStatement& statement) {
    std::string text;
    return ReadWholeFile(ExeRelativePath(KEPT_STATEMENT_PATH), text) > 0 &&
           ParseStatementText(text, statement);
}

// Fetches and checks everything; the reason when something does not hold.
std::string TakeStatedList(float serverVersion, const AnnouncedRelease& announced, size_t listLimit,
                           std::string& statementText, std::string& list, StatedDigests& digests) {
    wchar_t prefix[SERVER_PATH_UNITS] = {};
    _snwprintf_s(prefix, SERVER_PATH_UNITS, _TRUNCATE, PRODUCT_FILE_PATH_FORMAT, UPDATE_PATH_PREFIX,
                 VersionDirectory(serverVersion));
    const std::string comm = WideToUtf8(DownloadBaseUrl() + prefix) + "comm/";
    std::string why;
    if (!FetchSigned(comm + STATEMENT_FILE_NAME, STATEMENT_LIMIT, statementText, why)) return why;
    ReleaseStatement statement;
    if (!ParseStatementText(statementText, statement)) return "the statement does not parse";
    ReleaseStatement kept;
    const bool hasKept = ReadKeptStatement(kept);
    why = StatementRefusal(statement, announced, hasKept ? &kept : nullptr, UtcNow());
    if (!why.empty()) return why;

    if (!FetchSigned(comm + "file.lst", listLimit, list, why)) return why;
    if (Sha256Hex(list) != statement.listSha256) return "the list is not the one it states";
    std::string digestsText;
    if (DownloadToMemory(comm + FILE_DIGESTS_FILE_NAME, digestsText, listLimit) != DOWNLOAD_OK) {
        return "cannot fetch " + comm + FILE_DIGESTS_FILE_NAME;
    }
    std::vector<std::pair<std::string, std::string>> lines;
    if (Sha256Hex(digestsText) != statement.filesSha256 ||
        !ParseFileDigests(digestsText, list, lines)) {
        return "file.sha256 is not the one it states";
    }
    for (auto& line : lines) digests.emplace(std::move(line.first), std::move(line.second));
    return std::string();
}

}  // namespace

long long UtcNow() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<long long>(ticks / TICKS_PER_SECOND - SECONDS_1601_TO_1970);
}

std::string StatementRefusal(const ReleaseStatement& statement, const AnnouncedRelease& announced,
                             const ReleaseStatement* lastAccepted, long long now) {
    if (statement.lastVer != announced.lastVer) {
        return "it states lastVer " + std::to_string(statement.lastVer) + ", the reply announced " +
               std::to_string(announced.lastVer);
    }
    if (statement.expires != STATEMENT_NEVER_EXPIRES && now >= statement.expires) {
        return "it expired at " + UtcText(statement.expires);
    }
    // Only a rollback issued after the statement accepted last may go back.
    const bool laterRollback =
        statement.rollback && lastAccepted != nullptr && statement.issued > lastAccepted->issued;
    std::vector<std::string> pieces;
    if (SplitFields(announced.installedVersion, pieces, ".") == 3 && !laterRollback &&
        CompareVersions(statement.major, statement.minor, statement.build,
                        std::atoi(pieces[0].c_str()), std::atoi(pieces[1].c_str()),
                        std::atoi(pieces[2].c_str())) < 0) {
        return "version " + StatementVersionText(statement) + " is below the installed " +
               announced.installedVersion;
    }
    if (lastAccepted != nullptr && !laterRollback &&
        CompareVersions(statement.major, statement.minor, statement.build, lastAccepted->major,
                        lastAccepted->minor, lastAccepted->build) < 0) {
        return "version " + StatementVersionText(statement) + " is below " +
               StatementVersionText(*lastAccepted) + " accepted before";
    }
    return std::string();
}

bool FetchStatedList(float serverVersion, const std::wstring& localList,
                     const AnnouncedRelease& announced, size_t listLimit, StatedDigests& digests) {
    std::string statementText;
    std::string list;
    StatedDigests taken;
    const std::string why =
        TakeStatedList(serverVersion, announced, listLimit, statementText, list, taken);
    if (!why.empty()) {
        DebugTrace("release statement refused, the list already in place stays: %s\r\n",
                   why.c_str());
        return false;
    }
    // The list first: a run ended between the two keeps the older statement,
    // which asks no more of the next one than the new would.
    if (!PutFileByReplacement(localList, list) ||
        !PutFileByReplacement(ExeRelativePath(KEPT_STATEMENT_PATH), statementText)) {
        return false;
    }
    digests = std::move(taken);
    return true;
}

std::string StatedSha256(const StatedDigests& digests, const std::string& listedPath) {
    const auto found = digests.find(listedPath);
    return found == digests.end() ? std::string() : found->second;
}

bool FetchedFileMatches(const std::wstring& path, const std::string& expectedMd5,
                        const std::string& expectedSha256) {
    if (!ReleaseSigningEnabled()) return Md5OfFile(path) == expectedMd5;
    const FileDigests digests = DigestsOfFile(path, true);
    return digests.md5 == expectedMd5 && !expectedSha256.empty() &&
           digests.sha256 == expectedSha256;
}

bool MainProgramIsStated(const std::wstring& path) {
    ReleaseStatement kept;
    if (!ReadKeptStatement(kept)) return false;
    return DigestsOfFile(path, true).sha256 == kept.mainSha256;
}
