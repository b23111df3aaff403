#include "tools/publish/publish_statement.h"

#include <ctime>
#include <tuple>
#include <utility>

#include "engine/release_statement_text.h"
#include "tools/publish/publish_journal.h"
#include "tools/publish/publish_sign.h"
#include "tools/publish/publish_stage.h"
#include "tools/publish/publish_swap.h"
#include "tools/publish/sha256_digest.h"

namespace fs = std::filesystem;

namespace {

constexpr long long SECONDS_PER_DAY = 86400;
constexpr size_t LARGEST_STATEMENT = 4096;
constexpr size_t LARGEST_RECORD = 256;

fs::path StatementPath(const fs::path& versionDir) {
    return versionDir / "comm" / STATEMENT_FILE_NAME;
}

ReleaseStatement IssuedNow(ReleaseStatement statement, int expiresInDays) {
    statement.issued = static_cast<long long>(std::time(nullptr));
    statement.expires = expiresInDays > 0 ? statement.issued + expiresInDays * SECONDS_PER_DAY
                                          : STATEMENT_NEVER_EXPIRES;
    return statement;
}

// Writes the statement and its signature, each forced to the disk.
bool WriteSigned(const ReleaseStatement& statement, const SigningKey& key, const fs::path& file,
                 const fs::path& signatureFile, std::string& reason) {
    if (!WriteFileThrough(file, StatementText(statement))) {
        reason = "writing " + DisplayPath(file) + ": " + SystemReason();
        return false;
    }
    return SignInto(key, file, signatureFile, reason);
}

std::string ExpiryText(const ReleaseStatement& statement) {
    return statement.expires == STATEMENT_NEVER_EXPIRES ? "never expires"
                                                        : "expires " + UtcText(statement.expires);
}

// The published version whose replies announce lastVer, from the records.
bool AnnouncedVersion(const fs::path& out, int lastVer, ReleaseVersion& version) {
    std::error_code error;
    for (fs::directory_iterator it(out / "published", error), end; !error && it != end;
         it.increment(error)) {
        std::string text;
        std::string ignored;
        if (ReadFileBytes(it->path(), text, LARGEST_RECORD) &&
            ParseReleaseVersion(text, version, ignored) && version.lastVer == lastVer) {
            return true;
        }
    }
    return false;
}

std::string Relative(const fs::path& path, const fs::path& out) {
    return path.lexically_relative(out).generic_string();
}

}  // namespace

bool ParseExpiryDays(const std::string& text, int& days) {
    if (text.empty() || text.size() > 5 || text[0] == '0') return false;
    days = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        days = days * 10 + (c - '0');
    }
    return days <= LONGEST_EXPIRY_DAYS;
}

bool StageStatement(const PublishRequest& request, const ReleaseVersion& version,
                    const std::vector<ReleaseFile>& files, const fs::path& stagedDir,
                    const fs::path& mainProgram, const SigningKey& key, std::string& reason) {
    const fs::path comm = stagedDir / "comm";
    std::vector<std::pair<std::string, std::string>> digests;
    for (const auto& file : files) {
        if (IsMainProgram(file.listedPath)) continue;
        std::string sha256 = Sha256OfFile(stagedDir / file.relativePath);
        if (sha256.empty()) {
            reason =
                "reading " + DisplayPath(stagedDir / file.relativePath) + ": " + SystemReason();
            return false;
        }
        digests.emplace_back(file.listedPath, std::move(sha256));
    }
    const fs::path digestsFile = comm / FILE_DIGESTS_FILE_NAME;
    if (!WriteFileThrough(digestsFile, FileDigestsText(digests))) {
        reason = "writing " + DisplayPath(digestsFile) + ": " + SystemReason();
        return false;
    }
    ReleaseStatement statement;
    statement.major = version.major;
    statement.minor = version.minor;
    statement.build = version.build;
    statement.lastVer = version.lastVer;
    statement.listSha256 = Sha256OfFile(comm / "file.lst");
    statement.filesSha256 = Sha256OfFile(digestsFile);
    statement.mainSha256 = Sha256OfFile(mainProgram);
    statement.rollback = request.rollback;
    if (statement.listSha256.empty() || statement.filesSha256.empty() ||
        statement.mainSha256.empty()) {
        reason = "reading back the staged list, digests or main program: " + SystemReason();
        return false;
    }
    const fs::path file = StatementPath(stagedDir);
    return WriteSigned(IssuedNow(statement, request.expiresInDays), key, file,
                       WithSuffix(file, SIGNATURE_SUFFIX), reason);
}

std::string StatementReportLine(const PublishRequest& request, const ReleaseVersion& version) {
    return "statement update\\" + version.versionDirectory +
           "\\comm\\release.txt (signed beside it): version " + request.versionText + ", lastVer " +
           std::to_string(version.lastVer) +
           ", SHA-256 of the list, of every listed file (comm\\file.sha256) and of veldra.exe, " +
           (request.rollback ? "rollback, " : "") +
           (request.expiresInDays > 0
                ? "expires in " + std::to_string(request.expiresInDays) + " days"
                : "never expires");
}

int ResignStatement(const fs::path& out, const fs::path& keyFile, int expiresInDays,
                    std::string& report) {
    if (FoldersOverlap(keyFile, out)) {
        report =
            "refused: the signing key lies in the output folder, from where it would be "
            "published; keep it elsewhere";
        return PUBLISH_REFUSED;
    }
    SigningKey key;
    std::string reason;
    if (!LoadSigningKey(keyFile, key, reason)) {
        report = "refused: " + reason;
        return PUBLISH_REFUSED;
    }
    OutputLock lock;
    Recovery recovery = Recovery::NOTHING;
    std::string recovered;
    int result = LockAndRecover(lock, out, recovery, recovered, report);
    if (result != PUBLISH_OK) return result;
    const std::string before = recovered.empty() ? "" : recovered + "\n";

    const int announced = AnnouncedLastVer(out);
    ReleaseVersion version;
    ReleaseStatement statement;
    std::string text;
    if (!AnnouncedVersion(out, announced, version) ||
        !ReadFileBytes(StatementPath(LayoutOf(out, version).finalDir), text, LARGEST_STATEMENT) ||
        !ParseStatementText(text, statement) || statement.lastVer != announced) {
        report = before + "refused: " + DisplayPath(out) +
                 " holds no statement of the version its replies announce (lastVer " +
                 std::to_string(announced) + "); publish it with --sign first";
        return PUBLISH_REFUSED;
    }
    const PublishLayout layout = LayoutOf(out, version);
    const fs::path target = StatementPath(layout.finalDir);
    const fs::path targetSignature = WithSuffix(target, SIGNATURE_SUFFIX);
    const fs::path staging = layout.staging;
    const fs::path staged = staging / "release.txt.new";
    const fs::path stagedSignature = staging / "release.txt.sig.new";
    const fs::path kept = layout.previous / "release.txt";
    const fs::path keptSignature = layout.previous / "release.txt.sig";
    statement = IssuedNow(statement, expiresInDays);

    auto fail = [&](const std::string& message) {
        RemoveAll(staging);
        report = before + message;
        return PUBLISH_WRITE_FAILED;
    };
    RemoveAll(staging);
    if (!RunStep("resign-stage", reason, [&] {
            return MakeDirectories(layout.previous, reason) &&
                   WriteSigned(statement, key, staged, stagedSignature, reason);
        })) {
        return fail("cannot write the statement below " + DisplayPath(staging) + ": " + reason);
    }
    if (!RunStep("resign-keep", reason, [&] {
            return KeepAs(target, kept, reason) && KeepAs(targetSignature, keptSignature, reason) &&
                   FlushTree(staging, reason);
        })) {
        return fail("cannot keep the previous statement: " + reason);
    }
    // The same journal a publish writes: a resign cut short is put back by
    // the next publish or resign.
    const fs::path journal = layout.journal;
    Journal moves;
    for (const auto& [from, to, keep] :
         {std::make_tuple(staged, target, kept),
          std::make_tuple(stagedSignature, targetSignature, keptSignature)}) {
        SwapMove move;
        move.existed = true;
        move.target = Relative(to, out);
        move.staged = Relative(from, out);
        move.kept = Relative(keep, out);
        moves.moves.push_back(move);
    }
    if (!RunStep("resign-journal", reason, [&] { return WriteJournal(journal, moves, reason); })) {
        return fail("cannot write " + DisplayPath(journal) + ": " + reason);
    }
    const bool swapped =
        RunStep("resign-statement", reason, [&] { return RenameOver(staged, target); }) &&
        RunStep("resign-signature", reason,
                [&] { return RenameOver(stagedSignature, targetSignature); }) &&
        RunStep("resign-commit", reason, [&] {
            if (!FlushToDisk(target.parent_path(), reason)) return false;
            std::error_code error;
            fs::remove(journal, error);
            if (error) reason = error.message();
            return !error;
        });
    if (!swapped) {
        std::string undone;
        std::string line;
        if (RecoverInterruptedPublish(out, recovery, line, undone) != PUBLISH_OK) {
            report = before + "cannot swap the statement in: " + reason + "\n" + undone +
                     "; the next publish or resign to " + DisplayPath(out) + " puts it back";
            return PUBLISH_WRITE_FAILED;
        }
        return fail("cannot swap the statement in: " + reason + "\nthe previous one is back");
    }
    RemoveAll(staging);
    report = before + "re-signed update\\" + version.versionDirectory + "\\comm\\release.txt of " +
             StatementVersionText(statement) + " (lastVer " + std::to_string(announced) +
             "): issued " + UtcText(statement.issued) + ", " + ExpiryText(statement) +
             ", key SHA-256 " + key.fingerprint;
    return PUBLISH_OK;
}
