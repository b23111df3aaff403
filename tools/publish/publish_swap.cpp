#include "tools/publish/publish_swap.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "tools/publish/publish_delta.h"

namespace fs = std::filesystem;

namespace {

constexpr char NONE[] = "-";

// One rename of the swap, with the names relative to the output folder.
struct SwapMove {
    const char* step = "";
    bool folder = false;
    bool existed = false;  // the target was there before
    std::string target;
    std::string staged;    // empty: the target is only removed
    std::string kept;      // where the previous target waits; empty when none
    std::string identity;  // of the staged folder
};

struct Journal {
    std::vector<SwapMove> moves;
    std::vector<std::string> made;  // folders created for the targets, outermost first
};

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

std::string JournalText(const Journal& journal) {
    std::string text;
    for (const auto& move : journal.moves) {
        text += std::string("move ") + (move.folder ? "folder " : "file ") +
                (move.existed ? "1 " : "0 ") + move.target + " " +
                (move.staged.empty() ? NONE : move.staged) + " " +
                (move.kept.empty() ? NONE : move.kept) + " " +
                (move.identity.empty() ? NONE : move.identity) + "\n";
    }
    for (const auto& dir : journal.made) text += "made " + dir + "\n";
    return text;
}

bool ParseJournal(const std::string& text, Journal& journal) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "made") {
            std::string dir;
            if (!(words >> dir)) return false;
            journal.made.push_back(dir);
            continue;
        }
        SwapMove move;
        std::string type, existed;
        if (kind != "move" || !(words >> type >> existed >> move.target >> move.staged >>
                                move.kept >> move.identity)) {
            return false;
        }
        move.folder = type == "folder";
        move.existed = existed == "1";
        for (std::string* field : {&move.staged, &move.kept, &move.identity}) {
            if (*field == NONE) field->clear();
        }
        journal.moves.push_back(move);
    }
    return !journal.moves.empty();
}

std::string ReadJournal(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Puts back what the moves replaced, last move first. Each step looks at what
// is there, so it can run again after it was itself cut short.
bool Undo(const fs::path& out, const fs::path& staging, const Journal& journal,
          std::string& reason) {
    int trashed = 0;
    auto trash = [&] { return staging / ("undone-" + std::to_string(++trashed)); };
    for (auto it = journal.moves.rbegin(); it != journal.moves.rend(); ++it) {
        const SwapMove& move = *it;
        fs::path target = Under(out, move.target);
        fs::path kept = move.kept.empty() ? fs::path() : Under(out, move.kept);
        bool ok = true;
        if (move.folder) {
            bool newInPlace = Exists(target) && FolderIdentity(target) == move.identity;
            if (move.existed && newInPlace) {
                // The previous folder went aside, or took the staged name in an exchange.
                fs::path old = Exists(kept) ? kept : Under(out, move.staged);
                ok = SwapFolderIn(old, target, trash());
            } else if (move.existed && !Exists(target) && Exists(kept)) {
                ok = SwapFolderIn(kept, target, trash());
            } else if (!move.existed && newInPlace) {
                ok = RenameOver(target, trash());
            }
        } else if (move.existed) {
            if (Exists(kept)) ok = RenameOver(kept, target);
        } else if (!move.staged.empty() && Exists(target)) {
            std::error_code error;
            ok = fs::remove(target, error);
        }
        if (!ok) {
            reason = "cannot put back " + DisplayPath(target) + ": " + SystemReason();
            return false;
        }
        if (Exists(target.parent_path()) && !FlushToDisk(target.parent_path(), reason)) {
            reason = DisplayPath(target.parent_path()) + ": " + reason;
            return false;
        }
    }
    for (auto it = journal.made.rbegin(); it != journal.made.rend(); ++it) {
        std::error_code ignored;  // still in use by something else: stays
        fs::remove(Under(out, *it), ignored);
    }
    return true;
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

    Journal journal;
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
    // Replies last: a client that reads one finds the list it names.
    add("reply-0", false, layout.replyPaths[0], layout.stagedReplies[0], "reply-0");
    add("reply-1", false, layout.replyPaths[1], layout.stagedReplies[1], "reply-1");
    if (journal.moves.front().identity.empty()) {
        return fail("cannot tell the staged tree " + DisplayPath(layout.stagedDir) +
                    " from another folder: " + SystemReason());
    }

    // Folders the targets need, outermost first; created only once the journal names them.
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
    fs::path stagedJournal = WithSuffix(layout.journal, ".new");
    if (!RunStep("journal", reason, [&] {
            return WriteFileThrough(stagedJournal, JournalText(journal)) &&
                   RenameOver(stagedJournal, layout.journal) && FlushToDisk(staging, reason);
        })) {
        return fail("cannot write " + DisplayPath(layout.journal) + ": " + reason);
    }

    // From here on a failure puts the previous state back.
    auto undo = [&](const std::string& message) {
        std::string undoReason;
        if (!Undo(out, staging, journal, undoReason)) {
            report = message + "\nthe previous state could not be put back (" + undoReason +
                     "); the next publish to " + DisplayPath(out) + " puts it back";
            return PUBLISH_WRITE_FAILED;
        }
        return fail(message + "\nthe previous state is back in place");
    };
    for (const auto& dir : needed) {
        if (!MakeDirectories(dir, reason)) {
            return undo("cannot create " + DisplayPath(dir) + ": " + reason);
        }
    }
    for (const auto& move : journal.moves) {
        fs::path target = Under(out, move.target);
        fs::path staged = move.staged.empty() ? fs::path() : Under(out, move.staged);
        bool moved = RunStep(move.step, reason, [&] {
            if (move.folder) {
                return SwapFolderIn(staged, target,
                                    move.existed ? Under(out, move.kept) : staging / "unused");
            }
            if (staged.empty()) {
                std::error_code error;
                fs::remove(target, error);
                if (error) reason = error.message();
                return !error;
            }
            return RenameOver(staged, target);
        });
        if (!moved) {
            return undo((move.folder ? "cannot move the new tree to " : "cannot write ") +
                        DisplayPath(target) + ": " + reason);
        }
    }

    // The renames reach the disk before the journal that could undo them goes.
    for (const auto& move : journal.moves) {
        fs::path parent = Under(out, move.target).parent_path();
        if (!FlushToDisk(parent, reason)) {
            return undo("cannot force " + DisplayPath(parent) + " to the disk: " + reason);
        }
    }
    if (!RunStep("commit", reason, [&] {
            std::error_code error;
            fs::remove(layout.journal, error);
            if (error) reason = error.message();
            return !error && FlushToDisk(staging, reason);
        })) {
        return undo("cannot remove " + DisplayPath(layout.journal) + ": " + reason);
    }
    KeepStagedReleases(out, layout.stagedKept);
    RemoveAll(staging);
    return PUBLISH_OK;
}

int RepairInterruptedPublish(const fs::path& out, bool& repaired, std::string& report) {
    repaired = false;
    fs::path staging = out / ".staging";
    fs::path journalPath = staging / "journal";
    if (!Exists(journalPath)) return PUBLISH_OK;
    Journal journal;
    std::string reason;
    if (!ParseJournal(ReadJournal(journalPath), journal)) {
        report = "cannot read " + DisplayPath(journalPath) +
                 ", the journal of a publish that ended half-way; it says how to put back the "
                 "state before it (what that publish replaced is below " +
                 DisplayPath(staging / "previous") + ")";
        return PUBLISH_WRITE_FAILED;
    }
    if (!Undo(out, staging, journal, reason)) {
        report = "cannot put back the state before a publish that ended half-way: " + reason;
        return PUBLISH_WRITE_FAILED;
    }
    RemoveAll(staging);
    repaired = true;
    return PUBLISH_OK;
}
