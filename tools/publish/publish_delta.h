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

#include <filesystem>
#include <string>
#include <vector>

struct DeltaSource {
    std::filesystem::path relativePath;  // below the release folders, as the platform names it
    std::string listedPath;              // UTF-8 with backslashes, as file.lst names it
    std::string md5;                     // 32 uppercase hexadecimal digits
};

std::string MakeDeltaPatches(const std::filesystem::path& stagedTree,
                             const std::vector<DeltaSource>& files,
                             const std::vector<std::filesystem::path>& earlierReleases);
