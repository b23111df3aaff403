// Patches from earlier releases to the one being staged, and their index.
//
// Contract: stagedTree is the new version directory being staged; each listed
// file lies at stagedTree / relativePath with the MD5 given. Each earlier
// release is a folder holding that release's files at the same relative paths
// (the layout of an installed product). For every listed file and every
// earlier release whose file at that path differs, a patch goes to
// stagedTree/comm/delta/<old MD5>-<new MD5>.zst when it is under half the new
// file's size; files above kMaxPatchedFileSize get none. A patch that cannot
// be made or written is simply left out. Returns the comm/delta.lst bytes,
// which the caller writes with the rest of the staged tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish_records.h"
#include "tools/publish/publish_scan.h"

struct DeltaSource {
    std::filesystem::path relativePath;  // below the release folders, as the platform names it
    std::string listedPath;              // UTF-8 with backslashes, as file.lst names it
    std::string md5;                     // 32 uppercase hexadecimal digits
    uint64_t size = 0;
};

// A patch being made holds the reference, the target, the patch and zstd's
// tables: about this many times the larger of the two files, plus the tables.
constexpr uint64_t kPatchMemoryPerByte = 4;
constexpr uint64_t kPatchMemoryFixed = 96ull << 20;
// The memory patches made at once may hold where the machine's is unknown;
// elsewhere half of the machine's.
constexpr uint64_t kFallbackPatchBudget = 2ull << 30;
// A release's comm/file.lst larger than this is not read (its files are then
// read and digested instead).
constexpr size_t kMaxListBytes = 64u << 20;

// Patches are made on up to jobs threads at once (0: one per processor), each
// with its own single-threaded zstd context, so the bytes do not depend on
// jobs; fewer run while their memory would exceed the budget. An earlier
// file whose size and digest in its release's comm/file.lst equal the new
// file's is not read.
std::string MakeDeltaPatches(const std::filesystem::path& stagedTree,
                             const std::vector<DeltaSource>& files,
                             const std::vector<std::filesystem::path>& earlierReleases,
                             unsigned jobs);

// Where a release that a publish replaces is kept, unserved (outside update/),
// for patches to later releases: <output>/.earlier-releases/<version>/, the
// newest kKeptReleases of them. It is staged with the rest and moved there
// only once the publish has succeeded.
constexpr char KEPT_RELEASES_FOLDER[] = ".earlier-releases";
constexpr size_t kKeptReleases = 3;
// Other version directories of the output folder patched from, newest first.
constexpr size_t kNewestOtherVersions = 2;

struct PatchPlan {
    std::filesystem::path outputDir;
    std::string versionDirectory;  // the one being staged
    std::string replacedVersion;   // the release served there now, when another one; else empty
    std::vector<std::filesystem::path> deltaFrom;  // --delta-from folders
};

// The plan for publishing version as request asks: the release recorded in
// recordPath for its version directory is the one replaced when it is another.
PatchPlan PlanPatches(const PublishRequest& request, const ReleaseVersion& version,
                      const std::filesystem::path& recordPath);

// The earlier releases a new release is patched from, in this order: the
// version directory it replaces, the kept releases and the newest other
// version directories that hold a list (newest first), then plan.deltaFrom.
std::vector<std::filesystem::path> EarlierReleases(const PatchPlan& plan);

// Stages a copy of the replaced release below stagedKept, each file a hard
// link to an equal one of a kept release where there is one, else to the
// served file (a copy where the file system has no links).
void StageReplacedRelease(const PatchPlan& plan, const std::filesystem::path& stagedKept);

// Makes the patches into stagedTree and writes its comm/delta.lst when there
// is any. Returns the number of index lines, or -1 when the index cannot be
// written.
int StagePatches(const PatchPlan& plan, const std::filesystem::path& stagedTree,
                 const std::vector<DeltaSource>& files, unsigned jobs);

// Moves the releases staged below stagedKept to the kept ones of outputDir and
// drops the oldest beyond kKeptReleases. Losing one costs only patches.
void KeepStagedReleases(const std::filesystem::path& outputDir,
                        const std::filesystem::path& stagedKept);
