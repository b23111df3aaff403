#include "tools/publish/publish.h"

#include <algorithm>
#include <fstream>

#include "engine/version_numbers.h"
#include "tools/publish/publish_delta.h"
#include "tools/publish/publish_journal.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_progress.h"
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

// The first folder a publish renames into that lies on another file system
// than the output folder itself; empty when there is none.
fs::path OnAnotherFileSystem(const PublishLayout& layout) {
    std::error_code error;
    if (!fs::is_directory(layout.out, error)) return fs::path();
    const std::string volume = VolumeOf(layout.out);
    for (const fs::path& folder :
         {layout.updateRoot, layout.finalDir, layout.mainTarget.parent_path(),
          layout.packageTarget.parent_path(), layout.out / "index3.php",
          layout.replyDir.parent_path(), layout.replyDir, layout.recordDir, layout.staging,
          layout.out / KEPT_RELEASES_FOLDER}) {
        if (fs::is_directory(folder, error) && VolumeOf(folder) != volume) return folder;
    }
    return fs::path();
}

}  // namespace

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
    bool signing = !request.signingKey.empty();
    SigningKey key;
    if (signing) {
        if (!LoadSigningKey(request.signingKey, key, error)) {
            report = "refused: " + error;
            return PUBLISH_REFUSED;
        }
    }
    for (const auto& folder : request.deltaFrom) {
        std::error_code kind;
        if (!fs::is_directory(folder, kind)) {
            report = "refused: --delta-from " + DisplayPath(folder) + " is not a folder";
            return PUBLISH_REFUSED;
        }
    }
    // The key in every form it could be published in, looked for in every file.
    KeyForms forms = signing ? KeyFormsOf(key.privatePem) : KeyForms();
    std::vector<ReleaseFile> files;
    {
        Progress scanned("files scanned");
        if (!ScanRelease(request.releaseDir, forms, request.pkcs12Allowed, files, error,
                         &scanned)) {
            report = "refused:\n" + error;
            return PUBLISH_REFUSED;
        }
    }
    std::error_code code;
    if (request.packageGiven) {
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
        std::string problem = ScanForKeys(request.packagePath, forms, false);
        if (!problem.empty()) {
            report = "refused: package " + DisplayPath(request.packagePath) + " " + problem;
            return PUBLISH_REFUSED;
        }
    }

    const fs::path& out = request.outputDir;
    PublishLayout layout = LayoutOf(out, version);
    const fs::path& finalDir = layout.finalDir;
    const fs::path& recordPath = layout.recordPath;

    fs::path elsewhere = OnAnotherFileSystem(layout);
    if (!elsewhere.empty()) {
        report = "cannot publish into " + DisplayPath(out) + ": " + DisplayPath(elsewhere) +
                 " lies on another file system. The output folder must be one file system: a "
                 "publish moves everything into place by renames, which cannot cross one.";
        return PUBLISH_WRITE_FAILED;
    }
    std::string reason;
    if (!MakeDirectories(out, reason)) {
        report = "cannot create output folder " + DisplayPath(out) + ": " + reason;
        return PUBLISH_WRITE_FAILED;
    }
    OutputLock lock;
    Recovery recovery = Recovery::NOTHING;
    std::string recovered;
    int result = LockAndRecover(lock, out, recovery, recovered, report);
    if (result != PUBLISH_OK) return result;
    // What was recovered is said first, whatever becomes of this publish.
    auto told = [&](int code) {
        if (!recovered.empty()) report = recovered + "\n" + report;
        return code;
    };

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
        return told(PUBLISH_REFUSED);
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
        return told(PUBLISH_REFUSED);
    }

    int status = request.force ? STATUS_FORCED : STATUS_NEW_VERSION;
    StagedRelease staged;
    result = StageRelease(request, version, files, signing ? &key : nullptr, status, layout, staged,
                          report);
    if (result != PUBLISH_OK) return told(result);

    PublishOutcome outcome;
    result = SwapReleaseIn(request, version, layout, signing, outcome.unsignedOver, report);
    if (result != PUBLISH_OK) return told(result);
    outcome.key = signing ? &key : nullptr;
    outcome.rollback = rollback;
    outcome.announced = announced;
    outcome.status = status;
    std::vector<fs::path> served = {finalDir, finalDir / "comm" / "file.lst", layout.mainTarget,
                                    layout.replyPaths[0]};
    if (request.packageGiven) served.push_back(layout.packageTarget);
    OthersCanRead(served, outcome.readAdvice);
    report = PublishReport(request, version, staged, outcome);
    return told(PUBLISH_OK);
}

int RecoverOutput(const fs::path& out, std::string& report) {
    std::error_code error;
    if (!fs::is_directory(out, error)) {
        report = "cannot recover " + DisplayPath(out) + ": no such output folder";
        return PUBLISH_WRITE_FAILED;
    }
    OutputLock lock;
    Recovery recovery = Recovery::NOTHING;
    std::string line;
    int result = LockAndRecover(lock, out, recovery, line, report);
    if (result != PUBLISH_OK) return result;
    report = recovery == Recovery::NOTHING
                 ? "nothing to recover: no publish to " + DisplayPath(out) + " ended half-way"
                 : line;
    return result;
}
