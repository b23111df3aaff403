#include "tools/publish/publish_swap.h"

#include <vector>

#include "tools/publish/publish_journal.h"

namespace fs = std::filesystem;

namespace {

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

std::string Relative(const fs::path& path, const fs::path& out) {
    return path.lexically_relative(out).generic_string();
}

fs::path Under(const fs::path& out, const std::string& relative) {
    return out / fs::path(relative).make_preferred();
}

// The renames of a publish, replies last: a client that reads one finds the
// list it names.
Journal PlanMoves(const PublishRequest& request, const PublishLayout& layout, bool signing) {
    const fs::path& out = layout.out;
    Journal journal;
    journal.version = request.versionText;
    journal.announce = Relative(layout.replyPaths[0], out);
    auto add = [&](const char* step, bool folder, const fs::path& target, const fs::path& staged,
                   const char* keptName) {
        SwapMove move;
        move.step = step;
        move.folder = folder;
        move.existed = Exists(target);
        move.target = Relative(target, out);
        move.staged = staged.empty() ? std::string() : Relative(staged, out);
        if (move.existed) move.kept = Relative(layout.previous / keptName, out);
        if (folder) move.identity = FolderIdentity(staged);
        journal.moves.push_back(move);
    };
    add("tree", true, layout.finalDir, layout.stagedDir, "tree");
    add("main", false, layout.mainTarget, layout.stagedMain, "veldra.exe");
    if (signing || Exists(layout.mainSignature)) {
        add("main-signature", false, layout.mainSignature,
            signing ? layout.stagedMainSignature : fs::path(), "veldra.exe.sig");
    }
    if (request.packageGiven) {
        add("package", false, layout.packageTarget, layout.stagedPackage, "veldrazip.exe");
    }
    add("record", false, layout.recordPath, layout.stagedRecord, "record");
    add("reply-0", false, layout.replyPaths[0], layout.stagedReplies[0], "reply-0");
    add("reply-1", false, layout.replyPaths[1], layout.stagedReplies[1], "reply-1");
    return journal;
}

// Folders the targets need, outermost first, named in the journal before they are made.
std::vector<fs::path> FoldersToMake(const fs::path& out, Journal& journal) {
    std::vector<fs::path> needed;
    for (const auto& move : journal.moves) {
        std::vector<fs::path> chain;
        for (fs::path dir = Under(out, move.target).parent_path(); dir != out && !Exists(dir);
             dir = dir.parent_path()) {
            chain.insert(chain.begin(), dir);
        }
        for (const auto& dir : chain) {
            std::string relative = Relative(dir, out);
            bool listed = false;
            for (const auto& made : journal.made) listed = listed || made == relative;
            if (!listed) {
                journal.made.push_back(relative);
                needed.push_back(dir);
            }
        }
    }
    return needed;
}

}  // namespace

int SwapReleaseIn(const PublishRequest& request, const ReleaseVersion& version,
                  const PublishLayout& layout, bool signing, std::string& unsignedOver,
                  std::string& report) {
    const fs::path& out = layout.out;
    const fs::path& staging = layout.staging;
    std::string reason;
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

    Journal journal = PlanMoves(request, layout, signing);
    if (journal.moves.front().identity.empty()) {
        return fail("cannot tell the staged tree " + DisplayPath(layout.stagedDir) +
                    " from another folder: " + SystemReason());
    }
    std::vector<fs::path> needed = FoldersToMake(out, journal);

    // The previous files stay reachable under the staging folder until the end.
    if (!RunStep("keep", reason, [&] {
            if (!MakeDirectories(layout.previous, reason)) return false;
            for (const auto& move : journal.moves) {
                if (move.folder || !move.existed) continue;
                if (!KeepAs(Under(out, move.target), Under(out, move.kept), reason)) return false;
            }
            return FlushTree(layout.previous, reason);
        })) {
        return fail("cannot keep the previous release below " + DisplayPath(staging) + ": " +
                    reason);
    }
    if (!RunStep("journal", reason,
                 [&] { return WriteJournal(layout.journal, journal, reason); })) {
        return fail("cannot write " + DisplayPath(layout.journal) + ": " + reason);
    }

    // Until the first reply is renamed a failure puts the previous state back;
    // after it clients may have taken the release, so it can only be finished.
    auto undo = [&](const std::string& message) {
        std::string undoReason;
        if (Announced(out, journal)) {
            report = message + "\n" + request.versionText +
                     " is announced but not finished; veldra-publish recover " + DisplayPath(out) +
                     " (or the next publish there) finishes it";
            return PUBLISH_WRITE_FAILED;
        }
        if (!Undo(out, staging, journal, undoReason)) {
            report = message + "\nthe previous state could not be put back (" + undoReason +
                     "); veldra-publish recover " + DisplayPath(out) +
                     " (or the next publish there) puts it back";
            return PUBLISH_WRITE_FAILED;
        }
        report = message + "\nthe previous state is back in place";
        return PUBLISH_WRITE_FAILED;
    };
    for (const auto& dir : needed) {
        if (!MakeDirectories(dir, reason)) {
            return undo("cannot create " + DisplayPath(dir) + ": " + reason);
        }
    }
    for (const auto& move : journal.moves) {
        if (!RunStep(move.step, reason, [&] { return ApplyMove(out, staging, move, reason); })) {
            return undo((move.folder ? "cannot move the new tree to " : "cannot write ") +
                        DisplayPath(Under(out, move.target)) + ": " + reason);
        }
    }
    if (!RunStep("commit", reason, [&] { return Finish(out, staging, journal, reason); })) {
        return undo(reason);
    }
    return PUBLISH_OK;
}
