#include "tools/publish/publish.h"

#include <algorithm>
#include <fstream>

#include "engine/version_numbers.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_report.h"
#include "tools/publish/publish_scan.h"
#include "tools/publish/publish_sign.h"
#include "tools/publish/publish_stage.h"
#include "tools/publish/publish_swap.h"

namespace fs = std::filesystem;

namespace {

constexpr int STATUS_NEW_VERSION = 3431;
constexpr int STATUS_FORCED = 3432;

std::string ReadSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char buffer[256] = {};
    in.read(buffer, sizeof(buffer));
    return std::string(buffer, static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
}

// True when dir holds anything but the main program of a major version that
// other versions share (update/<major>.0/veldra.exe and its signature).
bool HoldsAnotherVersion(const fs::path& dir) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(dir, error))) return false;
    fs::directory_iterator entries(dir, error);
    if (error) return true;
    const fs::path signature = std::string(MAIN_PROGRAM) + SIGNATURE_SUFFIX;
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        fs::path name = entries->path().filename();
        if (name != fs::path(MAIN_PROGRAM) && name != signature) return true;
    }
    return static_cast<bool>(error);
}

}  // namespace

int AnnouncedLastVer(const fs::path& out) {
    std::string reply = ReadSmallFile(out / "index3.php" / "Ver2Control" / "0" / "0" / "0");
    const std::string key = "\"lastVer\":";
    size_t at = reply.find(key);
    if (at == std::string::npos) return 0;
    int value = 0;
    for (at += key.size(); at < reply.size() && reply[at] >= '0' && reply[at] <= '9'; ++at) {
        if (value > 200000000) return value;
        value = value * 10 + (reply[at] - '0');
    }
    return value;
}

bool LockOutput(OutputLock& lock, const fs::path& out, std::string& report) {
    fs::path lockFile = out / ".publish.lock";
    std::string lockFailure;
    if (lock.Take(lockFile, lockFailure)) return true;
    report = lockFailure.empty()
                 ? "another publisher is writing " + DisplayPath(out)
                 : "cannot take the lock file " + DisplayPath(lockFile) + ": " + lockFailure;
    return false;
}

std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5) {
    return "{\"status\":" + std::to_string(status) + ",\"lastVer\":" + std::to_string(lastVer) +
           ",\"newmd5\":\"" + mainProgramMd5 + "\",\"skinmd5\":\"" + listMd5 + "\"}\n";
}

int Publish(const PublishRequest& request, std::string& report) {
    ReleaseVersion version;
    std::string error;
    if (!ParseReleaseVersion(request.versionText, version, error)) {
        report = "refused: " + error;
        return PUBLISH_REFUSED;
    }
    if (FoldersOverlap(request.releaseDir, request.outputDir)) {
        report = "refused: the output folder and the release folder must not lie one in the other";
        return PUBLISH_REFUSED;
    }
    if (!request.signingKey.empty() && (FoldersOverlap(request.signingKey, request.releaseDir) ||
                                        FoldersOverlap(request.signingKey, request.outputDir))) {
        report =
            "refused: the signing key lies in the release or the output folder, from "
            "where it would be published; keep it elsewhere";
        return PUBLISH_REFUSED;
    }
    std::vector<ReleaseFile> files;
    if (!ScanRelease(request.releaseDir, files, error)) {
        report = "refused:\n" + error;
        return PUBLISH_REFUSED;
    }
    std::error_code code;
    if (request.packageGiven) {
        std::string probe;
        if (request.packagePath.empty()) {
            report = "refused: --package names no file";
            return PUBLISH_REFUSED;
        }
        if (!fs::is_regular_file(request.packagePath, code) ||
            fs::file_size(request.packagePath, code) == 0 || code) {
            report =
                "refused: package " + DisplayPath(request.packagePath) + " is missing or empty";
            return PUBLISH_REFUSED;
        }
        if (!ReadFileBytes(request.packagePath, probe, 1)) {
            report = "refused: package " + DisplayPath(request.packagePath) + " cannot be read";
            return PUBLISH_REFUSED;
        }
    }
    bool signing = !request.signingKey.empty();
    SigningKey key;
    if (signing) {
        if (!LoadSigningKey(request.signingKey, key, error)) {
            report = "refused: " + error;
            return PUBLISH_REFUSED;
        }
    }

    const fs::path& out = request.outputDir;
    PublishLayout layout = LayoutOf(out, version);
    const fs::path& finalDir = layout.finalDir;
    const fs::path& recordPath = layout.recordPath;

    std::string reason;
    if (!MakeDirectories(out, reason)) {
        report = "cannot create output folder " + DisplayPath(out) + ": " + reason;
        return PUBLISH_WRITE_FAILED;
    }
    OutputLock lock;
    if (!LockOutput(lock, out, report)) return PUBLISH_WRITE_FAILED;
    bool repaired = false;
    int result = RepairInterruptedPublish(out, repaired, report);
    if (result != PUBLISH_OK) return result;

    std::string recorded = ReadSmallFile(recordPath);
    ReleaseVersion recordedVersion;
    std::string ignored;
    bool sameVersion = recorded == request.versionText ||
                       (ParseReleaseVersion(recorded, recordedVersion, ignored) &&
                        SameRelease(recordedVersion, version));
    if (HoldsAnotherVersion(finalDir) && !sameVersion && !request.replace) {
        std::string held = recorded.empty() ? "an unrecorded version" : "version " + recorded;
        report = "refused: update\\" + version.versionDirectory + " already holds " + held + "; " +
                 request.versionText +
                 " is served from the same directory. Run again with --replace to replace it.";
        return PUBLISH_REFUSED;
    }

    int announced = AnnouncedLastVer(out);
    ReleaseVersion sameDirectory;
    bool olderInSameDirectory =
        ParseReleaseVersion(recorded, sameDirectory, ignored) && IsOlder(version, sameDirectory);
    bool rollback = version.lastVer < announced || olderInSameDirectory;
    if (rollback && !request.rollback) {
        report =
            "refused: " + request.versionText + " is older than the version the replies " +
            "announce (lastVer " + std::to_string(announced) +
            (olderInSameDirectory ? ", or " + recorded + " in the same directory" : "") +
            "). Every updater would fetch the listed files that differ and take the older "
            "ones; veldra.exe is only replaced from update\\" +
            version.majorDirectory +
            ", so newer clients may keep a newer veldra.exe beside older files. Run again with "
            "--rollback to do this on purpose.";
        return PUBLISH_REFUSED;
    }

    int status = request.force ? STATUS_FORCED : STATUS_NEW_VERSION;
    StagedRelease staged;
    result = StageRelease(request, version, files, signing ? &key : nullptr, status, layout, staged,
                          report);
    if (result != PUBLISH_OK) return result;

    PublishOutcome outcome;
    result = SwapReleaseIn(request, version, layout, signing, outcome.unsignedOver, report);
    if (result != PUBLISH_OK) return result;
    outcome.key = signing ? &key : nullptr;
    outcome.rollback = rollback;
    outcome.announced = announced;
    outcome.status = status;
    outcome.repaired = repaired;
    std::vector<fs::path> served = {finalDir, finalDir / "comm" / "file.lst", layout.mainTarget,
                                    layout.replyPaths[0]};
    if (request.packageGiven) served.push_back(layout.packageTarget);
    OthersCanRead(served, outcome.readAdvice);
    report = PublishReport(request, version, staged, outcome);
    return PUBLISH_OK;
}
