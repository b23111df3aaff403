#include "tools/publish/publish_journal.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tools/publish/publish_delta.h"
#include "tools/publish/publish_records.h"
#include "tools/publish/publish_stage.h"

namespace fs = std::filesystem;

namespace {

constexpr char NONE[] = "-";

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

fs::path Under(const fs::path& out, const std::string& relative) {
    return out / fs::path(relative).make_preferred();
}

std::string JournalText(const Journal& journal) {
    std::string text;
    if (!journal.version.empty()) text += "version " + journal.version + "\n";
    if (!journal.announce.empty()) text += "announce " + journal.announce + "\n";
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
        if (kind == "made" || kind == "version" || kind == "announce") {
            std::string value;
            if (!(words >> value)) return false;
            if (kind == "made") journal.made.push_back(value);
            if (kind == "version") journal.version = value;
            if (kind == "announce") journal.announce = value;
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

// The journal goes before anything else of the staging folder: without it
// what remains there is only debris, never a half-made publish.
bool DropStaging(const fs::path& staging, std::string& reason) {
    std::error_code error;
    fs::remove(staging / "journal", error);
    if (error) {
        reason = "cannot remove " + DisplayPath(staging / "journal") + ": " + error.message();
        return false;
    }
    if (!FlushToDisk(staging, reason)) return false;
    RemoveAll(staging);
    return true;
}

}  // namespace

bool WriteJournal(const fs::path& path, const Journal& journal, std::string& reason) {
    fs::path staged = WithSuffix(path, ".new");
    return WriteFileThrough(staged, JournalText(journal)) && RenameOver(staged, path) &&
           FlushToDisk(path.parent_path(), reason);
}

bool ApplyMove(const fs::path& out, const fs::path& staging, const SwapMove& move,
               std::string& reason) {
    fs::path target = Under(out, move.target);
    fs::path staged = move.staged.empty() ? fs::path() : Under(out, move.staged);
    if (move.folder) {
        if (Exists(target) && FolderIdentity(target) == move.identity) return true;
        return SwapFolderIn(staged, target,
                            move.existed ? Under(out, move.kept) : staging / "unused");
    }
    if (staged.empty()) {
        std::error_code error;
        fs::remove(target, error);
        if (error) reason = error.message();
        return !error;
    }
    // Renamed already: the staged name is gone.
    if (!Exists(staged)) return Exists(target);
    return RenameOver(staged, target);
}

bool Announced(const fs::path& out, const Journal& journal) {
    for (const auto& move : journal.moves) {
        if (move.target == journal.announce && !move.staged.empty()) {
            return !Exists(Under(out, move.staged)) && Exists(Under(out, move.target));
        }
    }
    return false;
}

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
    return DropStaging(staging, reason);
}

bool Finish(const fs::path& out, const fs::path& staging, const Journal& journal,
            std::string& reason) {
    for (const auto& dir : journal.made) {
        if (!MakeDirectories(Under(out, dir), reason)) return false;
    }
    for (const auto& move : journal.moves) {
        if (!ApplyMove(out, staging, move, reason)) {
            if (reason.empty()) reason = SystemReason();
            reason = "cannot write " + DisplayPath(Under(out, move.target)) + ": " + reason;
            return false;
        }
    }
    // The renames reach the disk before the journal that could redo them goes.
    for (const auto& move : journal.moves) {
        fs::path parent = Under(out, move.target).parent_path();
        if (!FlushToDisk(parent, reason)) {
            reason = "cannot force " + DisplayPath(parent) + " to the disk: " + reason;
            return false;
        }
    }
    std::error_code error;
    fs::remove(staging / "journal", error);
    if (error || !FlushToDisk(staging, reason)) {
        if (error) reason = error.message();
        reason = "cannot remove " + DisplayPath(staging / "journal") + ": " + reason;
        return false;
    }
    KeepStagedReleases(out, staging / "kept");
    RemoveAll(staging);
    return true;
}

int AnnouncedLastVer(const fs::path& out) {
    std::ifstream in(out / "index3.php" / "Ver2Control" / "0" / "0" / "0", std::ios::binary);
    char buffer[256] = {};
    in.read(buffer, sizeof(buffer));
    const std::string reply(buffer, static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
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

int RecoverInterruptedPublish(const fs::path& out, Recovery& what, std::string& line,
                              std::string& report) {
    what = Recovery::NOTHING;
    line.clear();
    fs::path staging = out / ".staging";
    fs::path journalPath = staging / "journal";
    if (!Exists(journalPath)) {
        // Staged only: nothing of it was ever served, and a copy waits while it is there.
        RemoveAll(staging);
        return PUBLISH_OK;
    }
    Journal journal;
    std::string reason;
    if (!ParseJournal(ReadJournal(journalPath), journal)) {
        report = "cannot read " + DisplayPath(journalPath) +
                 ", the journal of a publish that ended half-way; it says how to put back the "
                 "state before it (what that publish replaced is below " +
                 DisplayPath(staging / "previous") + ")";
        return PUBLISH_WRITE_FAILED;
    }
    std::string publish =
        journal.version.empty() ? "a publish" : "the publish of " + journal.version;
    if (Announced(out, journal)) {
        if (!Finish(out, staging, journal, reason)) {
            report = "cannot finish " + publish + " that ended half-way: " + reason;
            return PUBLISH_WRITE_FAILED;
        }
        what = Recovery::FINISHED;
        line = "finished " + publish + " that ended half-way";
        return PUBLISH_OK;
    }
    if (!Undo(out, staging, journal, reason)) {
        report = "cannot put back the state before a publish that ended half-way: " + reason;
        return PUBLISH_WRITE_FAILED;
    }
    what = Recovery::PUT_BACK;
    line = "put back the state before " + publish + " that ended half-way";
    return PUBLISH_OK;
}

namespace {

bool LockOutput(OutputLock& lock, const fs::path& out, std::string& report) {
    fs::path lockFile = out / ".publish.lock";
    std::string failure;
    if (lock.Take(lockFile, failure)) return true;
    report = failure.empty()
                 ? "another publisher is writing " + DisplayPath(out) +
                       " (or a copy of it is being made)"
                 : "cannot take the lock file " + DisplayPath(lockFile) + ": " + failure;
    return false;
}

}  // namespace

int LockAndRecover(OutputLock& lock, const fs::path& out, Recovery& what, std::string& line,
                   std::string& report) {
    if (!LockOutput(lock, out, report)) return PUBLISH_WRITE_FAILED;
    return RecoverInterruptedPublish(out, what, line, report);
}
