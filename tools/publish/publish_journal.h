// The journal of a swap: the renames a publish makes and what they replace,
// so that a publish cut short is put back before it was announced, and
// finished after.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish_platform.h"

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
    std::string version;   // the version being published
    std::string announce;  // target whose rename announces the release
    std::vector<SwapMove> moves;
    std::vector<std::string> made;  // folders created for the targets, outermost first
};

// Writes the journal through a staged copy and forces it to the disk.
bool WriteJournal(const std::filesystem::path& path, const Journal& journal, std::string& reason);

// Makes one move, or nothing when it is already made; reason on failure.
bool ApplyMove(const std::filesystem::path& out, const std::filesystem::path& staging,
               const SwapMove& move, std::string& reason);

// True once the point of no return is passed: the first reply is renamed.
// From then on clients may have taken the release.
bool Announced(const std::filesystem::path& out, const Journal& journal);

// Puts back what the moves replaced, last move first, then drops the staging
// folder. Each step looks at what is there, so it can run again after it was
// itself cut short.
bool Undo(const std::filesystem::path& out, const std::filesystem::path& staging,
          const Journal& journal, std::string& reason);

// Makes every move not made yet, forces them to the disk, removes the journal,
// keeps the replaced release for later patches and drops the staging folder.
bool Finish(const std::filesystem::path& out, const std::filesystem::path& staging,
            const Journal& journal, std::string& reason);

// The lastVer the replies in out announce now; 0 when there is none.
int AnnouncedLastVer(const std::filesystem::path& out);

enum class Recovery { NOTHING, PUT_BACK, FINISHED };

// Brings an output folder whose last publish ended half-way (a crash, a power
// cut) to a consistent state, as its journal says: put back when it had not
// been announced, finished when it had. what says which; line is the report's.
int RecoverInterruptedPublish(const std::filesystem::path& out, Recovery& what, std::string& line,
                              std::string& report);

// What publish, recover and resign do first: take the lock on out (kept in
// lock; one publisher, recovery or re-signing per output folder at a time),
// then recover a publish that ended half-way. A PUBLISH_ code; report says
// why the lock could not be taken.
int LockAndRecover(OutputLock& lock, const std::filesystem::path& out, Recovery& what,
                   std::string& line, std::string& report);
