// The records the publisher's steps share: what a publish is asked to do,
// where it writes, what staging learnt and the exit codes. Below every step,
// so that none of them reaches back up to the orchestrator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

constexpr int PUBLISH_OK = 0;
constexpr int PUBLISH_USAGE = 2;
constexpr int PUBLISH_REFUSED = 3;
constexpr int PUBLISH_WRITE_FAILED = 4;

constexpr char SIGNATURE_SUFFIX[] = ".sig";

struct PublishRequest {
    std::filesystem::path releaseDir;
    std::string versionText;  // UTF-8
    std::filesystem::path outputDir;
    std::filesystem::path packagePath;  // empty: no package
    std::filesystem::path signingKey;   // private key file; empty: nothing signed
    bool force = false;
    bool replace = false;
    bool rollback = false;                         // a version below the announced one, on purpose
    bool packageGiven = false;                     // --package was on the command line, even empty
    bool noDelta = false;                          // no patches, no comm/delta.lst
    std::vector<std::filesystem::path> deltaFrom;  // further earlier releases to patch from
    // Release files (paths below the release folder) that may be PKCS#12
    // containers: the release engineer named each of them on purpose.
    std::vector<std::string> pkcs12Allowed;
    unsigned jobs = 0;  // patches made at once; 0: one per processor
    int expiresInDays = 0;  // of the signed statement; 0: never
};

// Where one publish writes, staged and final. Whatever is written below
// stagedDir is swapped in with the tree.
struct PublishLayout {
    std::filesystem::path out;
    std::filesystem::path updateRoot;
    std::filesystem::path finalDir;
    std::filesystem::path recordDir;
    std::filesystem::path recordPath;
    std::filesystem::path replyDir;
    std::filesystem::path replyPaths[2];
    std::filesystem::path staging;
    std::filesystem::path stagedDir;
    std::filesystem::path stagedMain;
    std::filesystem::path stagedMainSignature;
    std::filesystem::path stagedPackage;
    std::filesystem::path stagedRecord;
    std::filesystem::path stagedReplies[2];
    std::filesystem::path packageTarget;
    std::filesystem::path mainTarget;
    std::filesystem::path mainSignature;
    std::filesystem::path stagedKept;  // the replaced release, for patches to later ones
    std::filesystem::path previous;    // what the publish replaces, kept until it ends
    std::filesystem::path journal;     // present while anything may still have to be put back
};

// What staging learnt, for the replies and the report.
struct StagedRelease {
    std::string listMd5;
    std::string mainMd5;
    size_t listed = 0;
    uint64_t totalBytes = 0;
    int patched = 0;  // lines of comm/delta.lst
};
