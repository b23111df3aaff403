#include "tools/publish/publish_swap.h"

namespace fs = std::filesystem;

namespace {

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

}  // namespace

int SwapReleaseIn(const PublishRequest& request, const ReleaseVersion& version,
                  const PublishLayout& layout, const StagedRelease& staged, int status,
                  bool signing, std::string& unsignedOver, std::string& report) {
    const fs::path& staging = layout.staging;
    auto fail = [&](const std::string& message) {
        RemoveAll(staging);
        report = message;
        return PUBLISH_WRITE_FAILED;
    };

    // A signature left beside a file it does not sign protects nothing.
    fs::path listSignature = WithSuffix(layout.finalDir / "comm" / "file.lst", SIGNATURE_SUFFIX);
    if (!signing && Exists(listSignature)) {
        unsignedOver = "update\\" + version.versionDirectory + "\\comm\\file.lst.sig";
    }
    if (!signing && Exists(layout.mainSignature)) {
        unsignedOver += (unsignedOver.empty() ? "" : " and ") + std::string("update\\") +
                        version.majorDirectory + "\\veldra.exe.sig";
    }

    // Tree into place, then the rest; the old tree is removed with the staging folder.
    if (!MakeDirectories(layout.updateRoot)) {
        return fail("cannot create " + DisplayPath(layout.updateRoot));
    }
    if (!SwapFolderIn(layout.stagedDir, layout.finalDir, layout.oldDir)) {
        return fail("cannot move the new tree to " + DisplayPath(layout.finalDir));
    }
    if (!MakeDirectories(layout.mainTarget.parent_path()) ||
        !RenameOver(layout.stagedMain, layout.mainTarget)) {
        return fail("cannot write " + DisplayPath(layout.mainTarget));
    }
    if (signing ? !RenameOver(layout.stagedMainSignature, layout.mainSignature)
                : !RemoveFile(layout.mainSignature)) {
        // The previous program's signature must not stay beside the new one.
        RemoveFile(layout.mainSignature);
        return fail("cannot write " + DisplayPath(layout.mainSignature));
    }
    if (request.packageGiven && (!MakeDirectories(layout.packageTarget.parent_path()) ||
                                 !RenameOver(layout.stagedPackage, layout.packageTarget))) {
        return fail("cannot write " + DisplayPath(layout.packageTarget));
    }
    fs::path stagedRecord = staging / "record.new";
    if (!MakeDirectories(layout.recordDir) ||
        !WriteFileThrough(stagedRecord, request.versionText) ||
        !RenameOver(stagedRecord, layout.recordPath)) {
        return fail("cannot write " + DisplayPath(layout.recordPath));
    }

    // Replies last: a client that reads one finds the list it names.
    std::string body = ReplyBody(status, version.lastVer, staged.mainMd5, staged.listMd5);
    fs::path replyDir = layout.out / "index3.php" / "Ver2Control" / "0" / "0";
    if (!MakeDirectories(replyDir)) return fail("cannot create " + DisplayPath(replyDir));
    for (const char* digit : {"0", "1"}) {
        fs::path stagedReply = staging / "reply.new";
        if (!WriteFileThrough(stagedReply, body) || !RenameOver(stagedReply, replyDir / digit)) {
            return fail("cannot write reply " + DisplayPath(replyDir / digit));
        }
    }
    RemoveAll(staging);
    return PUBLISH_OK;
}
