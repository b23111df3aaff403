// The release statement of a signed publish: comm/release.txt binds the
// version and the number the replies announce to the SHA-256 of the list, of
// comm/file.sha256 (every listed file's SHA-256) and of the main program,
// with the time it was issued and until when it holds; comm/release.txt.sig
// signs it. resign issues the current statement again with a new time.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish_records.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_scan.h"

constexpr int LONGEST_EXPIRY_DAYS = 36500;

// DAYS of --expires-in: a whole number from 1 to LONGEST_EXPIRY_DAYS.
bool ParseExpiryDays(const std::string& text, int& days);

// Writes comm/file.sha256, comm/release.txt and its signature below
// stagedDir, whose comm/file.lst lists files (the main program aside) as
// staged; mainProgram is the staged main program. reason says what failed.
bool StageStatement(const PublishRequest& request, const ReleaseVersion& version,
                    const std::vector<ReleaseFile>& files, const std::filesystem::path& stagedDir,
                    const std::filesystem::path& mainProgram, const SigningKey& key,
                    std::string& reason);

// The report's line on the statement a publish wrote.
std::string StatementReportLine(const PublishRequest& request, const ReleaseVersion& version);

// veldra-publish resign: the statement of the version the replies announce,
// issued again now with expiresInDays (0: never), signed with keyFile, and
// swapped in as a publish swaps: staged, then renamed in with the previous
// pair kept and journaled, so an interrupted resign is put back (at once, or
// by the next publish or resign). Returns a PUBLISH_ code.
int ResignStatement(const std::filesystem::path& out, const std::filesystem::path& keyFile,
                    int expiresInDays, std::string& report);
