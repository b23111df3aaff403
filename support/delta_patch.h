// Binary patches: a zstd frame compressed with the old file as its prefix.
// Portable; both publisher builds and the updater use it.
#pragma once

#include <cstdint>
#include <string>

// The reference and the result are held in memory together while a patch is
// applied, so neither may be larger than this.
constexpr uint64_t kMaxPatchedFileSize = 256ull * 1024 * 1024;
// Largest window a patch may ask for: enough to reach back over a whole
// reference of kMaxPatchedFileSize (2^28) plus the result being built.
constexpr int kMaxPatchWindowLog = 29;
// Level 19: the smallest patches zstd makes without the "ultra" levels' larger
// windows; making one is slow but only the publisher pays for it. The same
// parameters and a single thread give the same bytes on every platform.
constexpr int kPatchCompressionLevel = 19;

enum class PatchRefusal {
    None,
    TooLarge,        // reference or result above kMaxPatchedFileSize
    NotOneFrame,     // empty, or bytes after the first frame
    NoContentSize,   // the frame does not state the result's size
    WrongSize,       // stated or decoded size is not the expected one
    WindowTooLarge,  // asks for more than 2^kMaxPatchWindowLog
    Corrupt,         // zstd refused the data
    OutOfMemory,
};

// A patch that turns reference into target. False (patch empty) when either
// is too large or zstd fails.
bool MakePatch(const std::string& reference, const std::string& target, std::string& patch);

// Rebuilds the target of a patch made from reference. Never throws; on any
// refusal result is empty and refusal (when given) says why.
bool ApplyPatch(const std::string& reference, const std::string& patch, uint64_t expectedSize,
                std::string& result, PatchRefusal* refusal);
