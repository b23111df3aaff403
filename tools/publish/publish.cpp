#include "tools/publish/publish.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>

#include "engine/version_numbers.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_scan.h"
#include "tools/publish/publish_sign.h"

namespace fs = std::filesystem;

namespace {

constexpr int STATUS_NEW_VERSION = 3431;
constexpr int STATUS_FORCED = 3432;
constexpr size_t COPY_CHUNK = 1 << 20;
constexpr char SIGNATURE_SUFFIX[] = ".sig";
// Copies into a new file through buffer (one for all copies: a release holds
// thousands of small files); false when anything could not be read or written.
bool CopyInto(const fs::path& source, const fs::path& target, std::vector<char>& buffer) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    buffer.resize(COPY_CHUNK);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = in.gcount();
        if (got > 0 && !out.write(buffer.data(), got)) return false;
    }
    if (in.bad() || !in.eof()) return false;
    out.close();
    return !out.fail();
}

bool MakeDirectories(const fs::path& dir) {
    std::error_code error;
    fs::create_directories(dir, error);
    return fs::is_directory(dir, error);
}

void RemoveAll(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) return;
    // A read-only mark (Windows) or a folder without write permission would
    // stop the removal half-way.
    if (fs::is_directory(fs::symlink_status(path, error))) {
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code ignored;
            fs::permissions(it->path(), fs::perms::owner_write,
                            fs::perm_options::add | fs::perm_options::nofollow, ignored);
        }
    }
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove_all(path, error);
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// True when path is gone afterwards.
bool RemoveFile(const fs::path& path) {
    std::error_code error;
    fs::remove(path, error);
    return !error;
}

fs::path WithSuffix(fs::path path, const char* suffix) {
    path += suffix;
    return path;
}

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

// The lastVer the replies announce now; 0 when there is none.
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

}  // namespace

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
    fs::path updateRoot = out / "update";
    fs::path finalDir = updateRoot / version.versionDirectory;
    fs::path recordDir = out / "published";
    fs::path recordPath = recordDir / (version.versionDirectory + ".txt");
    fs::path staging = out / ".staging";
    fs::path stagedDir = staging / version.versionDirectory;
    fs::path oldDir = staging / (version.versionDirectory + ".old");

    if (!MakeDirectories(out)) {
        report = "cannot create output folder " + DisplayPath(out);
        return PUBLISH_WRITE_FAILED;
    }
    OutputLock lock;
    fs::path lockFile = out / ".publish.lock";
    std::string lockFailure;
    if (!lock.Take(lockFile, lockFailure)) {
        report = lockFailure.empty()
                     ? "another publisher is writing " + DisplayPath(out)
                     : "cannot take the lock file " + DisplayPath(lockFile) + ": " + lockFailure;
        return PUBLISH_WRITE_FAILED;
    }

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

    // Staged tree: every file but the main program, then the list.
    RemoveAll(staging);
    if (!MakeDirectories(stagedDir / "comm")) {
        report = "cannot create " + DisplayPath(staging);
        return PUBLISH_WRITE_FAILED;
    }
    auto fail = [&](const std::string& message) {
        RemoveAll(staging);
        report = message;
        return PUBLISH_WRITE_FAILED;
    };
    bool sharedDirectory = version.versionDirectory == version.majorDirectory;
    fs::path mainSource;
    for (const auto& file : files) {
        if (IsMainProgram(file.listedPath)) {
            mainSource = request.releaseDir / file.relativePath;
        }
    }
    std::string list;
    uint64_t totalBytes = 0;
    size_t listed = 0;
    fs::path madeDirectory;
    std::vector<char> buffer;
    for (const auto& file : files) {
        bool isMain = IsMainProgram(file.listedPath);
        // The main program arrives by its own path, which waits for a running product.
        if (isMain && !sharedDirectory) continue;
        fs::path target = stagedDir / file.relativePath;
        fs::path parent = target.parent_path();
        // Files come sorted, so a folder is mostly created once for all its files.
        if (parent != madeDirectory && !MakeDirectories(parent)) {
            return fail("cannot create " + DisplayPath(parent));
        }
        madeDirectory = parent;
        if (!CopyInto(request.releaseDir / file.relativePath, target, buffer)) {
            return fail("cannot copy " + file.listedPath);
        }
        if (isMain) continue;
        // Size and digest of the copy, so the list describes exactly what is served.
        uint64_t size = fs::file_size(target, code);
        std::string md5 = DigestOfFile(target);
        if (code || size == 0 || size > LARGEST_DIGESTED || md5.empty()) {
            return fail("refused: " + file.listedPath + " changed while it was published");
        }
        list += file.listedPath + "=" + md5 + "=" + std::to_string(size) + "\r\n";
        totalBytes += size;
        ++listed;
    }
    fs::path stagedList = stagedDir / "comm" / "file.lst";
    if (!WriteFileThrough(stagedList, list)) return fail("cannot write " + DisplayPath(stagedList));
    std::string listMd5 = DigestOfFile(stagedList);
    if (signing && !SignInto(key, stagedList, WithSuffix(stagedList, SIGNATURE_SUFFIX))) {
        return fail("cannot sign the file list");
    }

    fs::path stagedMain = staging / "veldra.exe.new";
    if (!CopyInto(mainSource, stagedMain, buffer)) {
        return fail("cannot copy veldra.exe");
    }
    std::string mainMd5 = DigestOfFile(stagedMain);
    if (mainMd5.empty()) return fail("refused: veldra.exe is empty");
    fs::path stagedMainSignature = staging / "veldra.exe.sig.new";
    if (signing) {
        // A shared directory is swapped in whole: its program arrives with its signature.
        if (!SignInto(key, stagedMain, stagedMainSignature) ||
            (sharedDirectory &&
             !CopyInto(stagedMainSignature, WithSuffix(stagedDir / MAIN_PROGRAM, SIGNATURE_SUFFIX),
                       buffer))) {
            return fail("cannot sign veldra.exe");
        }
    }

    // The package, the largest copy, is made before anything is swapped in.
    fs::path stagedPackage = staging / "veldrazip.exe.new";
    fs::path packageTarget = updateRoot / "last" / "veldrazip.exe";
    if (request.packageGiven && !CopyInto(request.packagePath, stagedPackage, buffer)) {
        return fail("cannot copy the package " + DisplayPath(request.packagePath) + " to " +
                    DisplayPath(stagedPackage));
    }

    // A signature left beside a file it does not sign protects nothing.
    fs::path listSignature = WithSuffix(finalDir / "comm" / "file.lst", SIGNATURE_SUFFIX);
    fs::path mainTarget = updateRoot / version.majorDirectory / MAIN_PROGRAM;
    fs::path mainSignature = WithSuffix(mainTarget, SIGNATURE_SUFFIX);
    std::string unsignedOver;
    if (!signing && Exists(listSignature)) {
        unsignedOver = "update\\" + version.versionDirectory + "\\comm\\file.lst.sig";
    }
    if (!signing && Exists(mainSignature)) {
        unsignedOver += (unsignedOver.empty() ? "" : " and ") + std::string("update\\") +
                        version.majorDirectory + "\\veldra.exe.sig";
    }

    // Tree into place, then the rest; the old tree is removed with the staging folder.
    if (!MakeDirectories(updateRoot)) return fail("cannot create " + DisplayPath(updateRoot));
    if (!SwapFolderIn(stagedDir, finalDir, oldDir)) {
        return fail("cannot move the new tree to " + DisplayPath(finalDir));
    }
    if (!MakeDirectories(mainTarget.parent_path()) || !RenameOver(stagedMain, mainTarget)) {
        return fail("cannot write " + DisplayPath(mainTarget));
    }
    if (signing ? !RenameOver(stagedMainSignature, mainSignature) : !RemoveFile(mainSignature)) {
        // The previous program's signature must not stay beside the new one.
        RemoveFile(mainSignature);
        return fail("cannot write " + DisplayPath(mainSignature));
    }
    if (request.packageGiven && (!MakeDirectories(packageTarget.parent_path()) ||
                                 !RenameOver(stagedPackage, packageTarget))) {
        return fail("cannot write " + DisplayPath(packageTarget));
    }
    fs::path stagedRecord = staging / "record.new";
    if (!MakeDirectories(recordDir) || !WriteFileThrough(stagedRecord, request.versionText) ||
        !RenameOver(stagedRecord, recordPath)) {
        return fail("cannot write " + DisplayPath(recordPath));
    }

    // Replies last: a client that reads one finds the list it names.
    int status = request.force ? STATUS_FORCED : STATUS_NEW_VERSION;
    std::string body = ReplyBody(status, version.lastVer, mainMd5, listMd5);
    fs::path replyDir = out / "index3.php" / "Ver2Control" / "0" / "0";
    if (!MakeDirectories(replyDir)) return fail("cannot create " + DisplayPath(replyDir));
    for (const char* digit : {"0", "1"}) {
        fs::path stagedReply = staging / "reply.new";
        if (!WriteFileThrough(stagedReply, body) || !RenameOver(stagedReply, replyDir / digit)) {
            return fail("cannot write reply " + DisplayPath(replyDir / digit));
        }
    }
    RemoveAll(staging);

    report = "published " + request.versionText + " as update\\" + version.versionDirectory + ": " +
             std::to_string(listed) + " files, " + std::to_string(totalBytes) + " bytes, list " +
             listMd5 + "\nmain program update\\" + version.majorDirectory + "\\veldra.exe (" +
             mainMd5 + ")" + (request.packageGiven ? "\npackage update\\last\\veldrazip.exe" : "");
    if (signing) {
        report += "\nsigned update\\" + version.versionDirectory + "\\comm\\file.lst and update\\" +
                  version.majorDirectory +
                  "\\veldra.exe (signatures beside them as .sig), key SHA-256 " + key.fingerprint;
    }
    if (!unsignedOver.empty()) {
        report += "\nnot signed: removed the previous release's " + unsignedOver +
                  "; updaters built with a release key take neither this list nor this program";
    }
    if (rollback) {
        report += "\nrolled back from lastVer " + std::to_string(announced) +
                  ": clients fetch every listed file of update\\" + version.versionDirectory +
                  " that differs from theirs; veldra.exe is only replaced from update\\" +
                  version.majorDirectory + "\\veldra.exe";
    }
    report += "\nreplies index3.php/Ver2Control/0/0/0 and /1: status " + std::to_string(status) +
              ", lastVer " + std::to_string(version.lastVer);
    return PUBLISH_OK;
}
