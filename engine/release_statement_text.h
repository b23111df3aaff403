// The release statement as text: which version a signed list and main
// program belong to, their SHA-256 digests, and until when it holds. The
// publisher writes it and the updater reads it with these same functions, so
// the two never disagree on its form. Portable: no platform headers.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Beside the list, in comm/ of the version directory.
constexpr char STATEMENT_FILE_NAME[] = "release.txt";
constexpr char FILE_DIGESTS_FILE_NAME[] = "file.sha256";
constexpr long long STATEMENT_NEVER_EXPIRES = -1;

struct ReleaseStatement {
    int major = 0;
    int minor = 0;  // hundredths, as in the installed "ver"
    int build = 0;
    int lastVer = 0;          // the number the version service announces for it
    std::string listSha256;   // of comm/file.lst, lowercase hexadecimal
    std::string filesSha256;  // of comm/file.sha256
    std::string mainSha256;   // of the main program served for this version
    long long issued = 0;     // seconds since 1970-01-01T00:00:00Z
    long long expires = STATEMENT_NEVER_EXPIRES;
    bool rollback = false;
};

// UTF-8, CR LF, one key=value a line: version, lastVer, list-sha256,
// files-sha256, main-sha256, issued, expires, rollback.
std::string StatementText(const ReleaseStatement& statement);

// Only the exact form StatementText writes: every key in its place, every
// value of its shape, nothing before, between or after.
bool ParseStatementText(const std::string& text, ReleaseStatement& statement);

// YYYY-MM-DDTHH:MM:SSZ for seconds since 1970 (UTC).
std::string UtcText(long long seconds);
bool ParseUtcText(const std::string& text, long long& seconds);

bool IsSha256Hex(const std::string& text);

// The version as major.minor.build.
std::string StatementVersionText(const ReleaseStatement& statement);
// Below zero when a is the older version (major, then minor, then build).
int CompareVersions(int majorA, int minorA, int buildA, int majorB, int minorB, int buildB);

// One line "path=<SHA-256>" CR LF for each listed path, in list order.
std::string FileDigestsText(const std::vector<std::pair<std::string, std::string>>& digests);

// The path and SHA-256 of every line of digestsText, when its lines name the
// paths of listText's lines ("path=..." CR LF), the same and in the same order.
bool ParseFileDigests(const std::string& digestsText, const std::string& listText,
                      std::vector<std::pair<std::string, std::string>>& digests);
