// The patch index of a release, comm/delta.lst: one line per patch,
// "path=new MD5=old MD5=patch size" CR LF, UTF-8, paths written as in
// file.lst (backslash separators) and sorted by their bytes. A patch lives at
// comm/delta/<old MD5>-<new MD5>.zst beside it. Portable: the publisher
// writes what the updater reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Larger indexes are refused whole rather than read.
constexpr uint64_t kMaxDeltaIndexBytes = 8ull * 1024 * 1024;

struct DeltaEntry {
    std::string path;    // as listed, UTF-8
    std::string newMd5;  // 32 uppercase hexadecimal digits
    std::string oldMd5;
    uint64_t patchSize = 0;
};

struct DeltaLookup {
    std::string newMd5;
    uint64_t patchSize = 0;
};

// The index bytes for entries, sorted by path then old MD5.
std::string FormatDeltaIndex(std::vector<DeltaEntry> entries);

// Lines that do not parse are skipped: a damaged line costs its patch, not the
// update. False (entries empty) only for an index above kMaxDeltaIndexBytes.
bool ParseDeltaIndex(const std::string& bytes, std::vector<DeltaEntry>& entries);

// The patch for the file at path whose current content has oldMd5.
std::optional<DeltaLookup> FindDeltaPatch(const std::vector<DeltaEntry>& entries,
                                          const std::string& path, const std::string& oldMd5);

// Whether any patch leads the file at path to newMd5: without one, the local
// file need not be read for a patch.
bool HasDeltaPatchTo(const std::vector<DeltaEntry>& entries, const std::string& path,
                     const std::string& newMd5);

// "comm/delta/<old>-<new>.zst", relative to the version directory.
std::string DeltaPatchPath(const std::string& oldMd5, const std::string& newMd5);
