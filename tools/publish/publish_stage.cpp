#include "tools/publish/publish_stage.h"

#include <cstdlib>

#include "tools/publish/publish_delta.h"
#include "tools/publish/publish_sign.h"
#include "tools/publish/publish_statement.h"

namespace fs = std::filesystem;

namespace {

constexpr char FAULT_VARIABLE[] = "VELDRA_PUBLISH_FAULT";
constexpr char CRASH_SUFFIX[] = ":crash";
constexpr int CRASH_EXIT_CODE = 70;

}  // namespace

std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5) {
    return "{\"status\":" + std::to_string(status) + ",\"lastVer\":" + std::to_string(lastVer) +
           ",\"newmd5\":\"" + mainProgramMd5 + "\",\"skinmd5\":\"" + listMd5 + "\"}\n";
}

PublishLayout LayoutOf(const fs::path& out, const ReleaseVersion& version) {
    PublishLayout layout;
    layout.out = out;
    layout.updateRoot = out / "update";
    layout.finalDir = layout.updateRoot / version.versionDirectory;
    layout.recordDir = out / "published";
    layout.recordPath = layout.recordDir / (version.versionDirectory + ".txt");
    layout.replyDir = out / "index3.php" / "Ver2Control" / "0" / "0";
    layout.replyPaths[0] = layout.replyDir / "0";
    layout.replyPaths[1] = layout.replyDir / "1";
    layout.staging = out / ".staging";
    layout.stagedDir = layout.staging / version.versionDirectory;
    layout.stagedMain = layout.staging / "veldra.exe.new";
    layout.stagedMainSignature = layout.staging / "veldra.exe.sig.new";
    layout.stagedPackage = layout.staging / "veldrazip.exe.new";
    layout.stagedRecord = layout.staging / "record.new";
    layout.stagedReplies[0] = layout.staging / "reply-0.new";
    layout.stagedReplies[1] = layout.staging / "reply-1.new";
    layout.packageTarget = layout.updateRoot / "last" / "veldrazip.exe";
    layout.mainTarget = layout.updateRoot / version.majorDirectory / MAIN_PROGRAM;
    layout.mainSignature = WithSuffix(layout.mainTarget, SIGNATURE_SUFFIX);
    layout.stagedKept = layout.staging / "kept";
    layout.previous = layout.staging / "previous";
    layout.journal = layout.staging / "journal";
    return layout;
}

bool FaultInjected(const char* step, std::string& reason) {
    std::string fault = EnvironmentValue(FAULT_VARIABLE);
    if (fault == std::string(step) + CRASH_SUFFIX) std::_Exit(CRASH_EXIT_CODE);
    if (fault != step) return false;
    reason = std::string("fault injected at ") + step;
    return true;
}

bool MakeDirectories(const fs::path& dir, std::string& reason) {
    std::error_code error;
    fs::create_directories(dir, error);
    std::error_code ignored;
    if (fs::is_directory(dir, ignored)) return true;
    reason = error ? error.message() : "a file is in the way";
    return false;
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

fs::path WithSuffix(fs::path path, const char* suffix) {
    path += suffix;
    return path;
}

bool FlushTree(const fs::path& root, std::string& reason) {
    std::error_code error;
    std::vector<fs::path> folders = {root};
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory(error)) {
            folders.push_back(it->path());
        } else if (!FlushToDisk(it->path(), reason)) {
            reason = DisplayPath(it->path()) + ": " + reason;
            return false;
        }
    }
    if (error) {
        reason = DisplayPath(root) + ": " + error.message();
        return false;
    }
    // Deepest first: a folder's entries are on the disk before the folder naming it is.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        if (!FlushToDisk(*it, reason)) {
            reason = DisplayPath(*it) + ": " + reason;
            return false;
        }
    }
    return true;
}

int StageRelease(const PublishRequest& request, const ReleaseVersion& version,
                 const std::vector<ReleaseFile>& files, const SigningKey* key, int status,
                 const PublishLayout& layout, StagedRelease& staged, std::string& report) {
    const fs::path& staging = layout.staging;
    const fs::path& stagedDir = layout.stagedDir;
    bool signing = key != nullptr;
    std::error_code code;
    std::string reason;

    // Staged tree: every file but the main program, then the list.
    RemoveAll(staging);
    if (!MakeDirectories(stagedDir / "comm", reason)) {
        report = "cannot create " + DisplayPath(staging) + ": " + reason;
        return PUBLISH_WRITE_FAILED;
    }
    auto fail = [&](const std::string& message, int result = PUBLISH_WRITE_FAILED) {
        RemoveAll(staging);
        report = message;
        return result;
    };
    bool sharedDirectory = version.versionDirectory == version.majorDirectory;
    fs::path mainSource;
    for (const auto& file : files) {
        if (IsMainProgram(file.listedPath)) {
            mainSource = request.releaseDir / file.relativePath;
        }
    }
    std::string list;
    std::vector<DeltaSource> patchable;
    fs::path madeDirectory;
    std::vector<char> buffer;
    for (const auto& file : files) {
        bool isMain = IsMainProgram(file.listedPath);
        // The main program arrives by its own path, which waits for a running product.
        if (isMain && !sharedDirectory) continue;
        fs::path target = stagedDir / file.relativePath;
        fs::path parent = target.parent_path();
        // Files come sorted, so a folder is mostly created once for all its files.
        if (parent != madeDirectory && !MakeDirectories(parent, reason)) {
            return fail("cannot create " + DisplayPath(parent) + ": " + reason);
        }
        madeDirectory = parent;
        if (!CopyFileContent(request.releaseDir / file.relativePath, target, buffer, reason)) {
            return fail("cannot copy " + file.listedPath + ": " + reason);
        }
        if (isMain) continue;
        // Size and digest of the copy, so the list describes exactly what is served.
        uint64_t size = fs::file_size(target, code);
        std::string md5 = DigestOfFile(target);
        if (code || size == 0 || size > LARGEST_DIGESTED || md5.empty()) {
            return fail("refused: " + file.listedPath + " changed while it was published",
                        PUBLISH_REFUSED);
        }
        list += file.listedPath + "=" + md5 + "=" + std::to_string(size) + "\r\n";
        patchable.push_back({file.relativePath, file.listedPath, md5, size});
        staged.totalBytes += size;
        ++staged.listed;
    }
    if (FaultInjected("stage-files", reason)) return fail("cannot copy the release: " + reason);
    // The replaced release is kept with or without patches now: later ones patch from it.
    PatchPlan plan = PlanPatches(request, version, layout.recordPath);
    StageReplacedRelease(plan, layout.stagedKept);
    if (!request.noDelta) {
        staged.patched = StagePatches(plan, stagedDir, patchable, request.jobs);
        if (staged.patched < 0) return fail("cannot write the patch index: " + SystemReason());
    }

    fs::path stagedList = stagedDir / "comm" / "file.lst";
    if (!RunStep("stage-list", reason, [&] { return WriteFileThrough(stagedList, list); })) {
        return fail("cannot write " + DisplayPath(stagedList) + ": " + reason);
    }
    staged.listMd5 = DigestOfFile(stagedList);
    if (signing && !SignInto(*key, stagedList, WithSuffix(stagedList, SIGNATURE_SUFFIX), reason)) {
        return fail("cannot sign the file list: " + reason);
    }

    if (!RunStep("stage-main", reason,
                 [&] { return CopyFileContent(mainSource, layout.stagedMain, buffer, reason); })) {
        return fail("cannot copy veldra.exe: " + reason);
    }
    staged.mainMd5 = DigestOfFile(layout.stagedMain);
    if (staged.mainMd5.empty()) return fail("refused: veldra.exe is empty", PUBLISH_REFUSED);
    if (signing) {
        // A shared directory is swapped in whole: its program arrives with its signature.
        if (!SignInto(*key, layout.stagedMain, layout.stagedMainSignature, reason)) {
            return fail("cannot sign veldra.exe: " + reason);
        }
        if (sharedDirectory &&
            !CopyFileContent(layout.stagedMainSignature,
                             WithSuffix(stagedDir / MAIN_PROGRAM, SIGNATURE_SUFFIX), buffer,
                             reason)) {
            return fail("cannot sign veldra.exe: " + reason);
        }
    }

    // The statement binds the list, every listed file and the program just staged.
    if (signing && !RunStep("stage-statement", reason, [&] {
            return StageStatement(request, version, files, stagedDir, layout.stagedMain, *key,
                                  reason);
        })) {
        return fail("cannot write the release statement: " + reason);
    }

    // The package, the largest copy, is made before anything is swapped in.
    if (request.packageGiven && !RunStep("stage-package", reason, [&] {
            return CopyFileContent(request.packagePath, layout.stagedPackage, buffer, reason);
        })) {
        return fail("cannot copy the package " + DisplayPath(request.packagePath) + " to " +
                    DisplayPath(layout.stagedPackage) + ": " + reason);
    }

    std::string body = ReplyBody(status, version.lastVer, staged.mainMd5, staged.listMd5);
    if (!RunStep("stage-replies", reason, [&] {
            return WriteFileThrough(layout.stagedRecord, request.versionText) &&
                   WriteFileThrough(layout.stagedReplies[0], body) &&
                   WriteFileThrough(layout.stagedReplies[1], body);
        })) {
        return fail("cannot write the record and the replies below " + DisplayPath(staging) + ": " +
                    reason);
    }

    // Nothing may become visible that a power cut could still take back.
    if (!RunStep("flush", reason, [&] { return FlushTree(staging, reason); })) {
        return fail("cannot force the staged release to the disk: " + reason);
    }
    return PUBLISH_OK;
}
