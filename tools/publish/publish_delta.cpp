#include "tools/publish/publish_delta.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>

#include "engine/delta_index.h"
#include "support/delta_patch.h"
#include "tools/publish/publish_platform.h"

namespace {

// The whole file when it is a regular file of at most kMaxPatchedFileSize.
bool ReadSmallFile(const std::filesystem::path& path, std::string& bytes) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxPatchedFileSize) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad() && bytes.size() == size;
}

}  // namespace

std::string MakeDeltaPatches(const std::filesystem::path& stagedTree,
                             const std::vector<DeltaSource>& files,
                             const std::vector<std::filesystem::path>& earlierReleases) {
    const std::filesystem::path patchDir = stagedTree / "comm" / "delta";
    std::vector<DeltaEntry> entries;
    for (const DeltaSource& file : files) {
        std::string target;
        if (!ReadSmallFile(stagedTree / file.relativePath, target)) continue;
        std::set<std::string> done;  // old digests already patched or tried
        for (const std::filesystem::path& release : earlierReleases) {
            const std::filesystem::path oldPath = release / file.relativePath;
            const std::string oldMd5 = DigestOfFile(oldPath);
            if (oldMd5.empty() || oldMd5 == file.md5 || !done.insert(oldMd5).second) continue;
            std::string reference, patch;
            if (!ReadSmallFile(oldPath, reference) || !MakePatch(reference, target, patch))
                continue;
            if (patch.size() >= target.size() / 2) continue;
            std::error_code error;
            std::filesystem::create_directories(patchDir, error);
            const std::filesystem::path patchFile =
                stagedTree / std::filesystem::u8path(DeltaPatchPath(oldMd5, file.md5));
            if (error || !WriteNewFile(patchFile, patch, false)) continue;
            entries.push_back({file.listedPath, file.md5, oldMd5, patch.size()});
        }
    }
    return FormatDeltaIndex(std::move(entries));
}
