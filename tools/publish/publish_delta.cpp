#include "tools/publish/publish_delta.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>

#include "engine/delta_index.h"
#include "support/delta_patch.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_scan.h"
#include "tools/publish/publish_sign.h"

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

// "X.Y" with decimal digits as two numbers; false for any other name.
bool ParseVersionDirectory(const std::string& name, std::pair<long, long>& numbers) {
    const size_t dot = name.find('.');
    if (dot == 0 || dot == std::string::npos || dot + 1 == name.size() || name.size() > 12)
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (i != dot && (name[i] < '0' || name[i] > '9')) return false;
    numbers = {std::stol(name.substr(0, dot)), std::stol(name.substr(dot + 1))};
    return true;
}

// The folders below dir, named and ordered (newest first) by version.
template <typename Version, typename Parse>
std::vector<std::pair<Version, std::filesystem::path>> VersionFolders(
    const std::filesystem::path& dir, Parse parse) {
    std::vector<std::pair<Version, std::filesystem::path>> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (!it->is_directory(ignored) || IsLinkedFolder(it->path())) continue;
        std::string name;
        Version version{};
        if (PathToUtf8(it->path().filename(), name) && parse(name, version))
            found.push_back({version, it->path()});
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return b.first < a.first; });
    return found;
}

using Release = std::tuple<int, int, int>;

bool ParseKeptName(const std::string& name, Release& release) {
    ReleaseVersion version;
    std::string ignored;
    if (!ParseReleaseVersion(name, version, ignored)) return false;
    release = {version.major, version.minor, version.build};
    return true;
}

// Every file of source below target, linked where the platform can (the
// served tree is replaced by renames, never written in place), else copied;
// the version's comm folder is left out.
bool CopyTree(const std::filesystem::path& source, const std::filesystem::path& target) {
    std::error_code error;
    std::filesystem::create_directories(target, error);
    if (error) return false;
    for (std::filesystem::recursive_directory_iterator it(source, error), end; it != end;
         it.increment(error)) {
        if (error) return false;
        const std::filesystem::path relative = it->path().lexically_relative(source);
        if (it.depth() == 0 && relative == "comm") {
            it.disable_recursion_pending();
            continue;
        }
        const std::filesystem::path copy = target / relative;
        if (it->is_directory(error)) {
            std::filesystem::create_directories(copy, error);
        } else if (it->is_regular_file(error)) {
            std::filesystem::create_hard_link(it->path(), copy, error);
            if (error) {
                error.clear();
                std::filesystem::copy_file(it->path(), copy, error);
            }
        }
        if (error) return false;
    }
    return !error;
}

// A copy (hard links where the file system allows) that a later publish can
// patch from; a folder of a version's name is whole.
void StageReplacedRelease(const PatchPlan& plan, const std::filesystem::path& stagedKept) {
    Release release;
    if (!ParseKeptName(plan.replacedVersion, release)) return;
    const std::filesystem::path served = plan.outputDir / "update" / plan.versionDirectory;
    const std::filesystem::path partial = stagedKept / ".partial";
    std::error_code error;
    std::filesystem::remove_all(partial, error);
    if (CopyTree(served, partial)) {
        std::filesystem::rename(partial, stagedKept / std::filesystem::u8path(plan.replacedVersion),
                                error);
    }
    std::filesystem::remove_all(partial, error);
}

}  // namespace

PatchPlan PlanPatches(const PublishRequest& request, const ReleaseVersion& version,
                      const std::filesystem::path& recordPath) {
    PatchPlan plan;
    plan.outputDir = request.outputDir;
    plan.versionDirectory = version.versionDirectory;
    plan.deltaFrom = request.deltaFrom;
    std::string recorded;
    ReleaseVersion replaced;
    std::string ignored;
    if (ReadFileBytes(recordPath, recorded, 64) &&
        ParseReleaseVersion(recorded, replaced, ignored) && !SameRelease(replaced, version))
        plan.replacedVersion = recorded;
    return plan;
}

std::vector<std::filesystem::path> EarlierReleases(const PatchPlan& plan) {
    const std::filesystem::path update = plan.outputDir / "update";
    std::vector<std::filesystem::path> releases = {update / plan.versionDirectory};
    for (const auto& folder :
         VersionFolders<Release>(plan.outputDir / KEPT_RELEASES_FOLDER, ParseKeptName))
        releases.push_back(folder.second);
    size_t others = 0;
    for (const auto& folder :
         VersionFolders<std::pair<long, long>>(update, ParseVersionDirectory)) {
        if (others == kNewestOtherVersions) break;
        if (folder.second.filename() == std::filesystem::u8path(plan.versionDirectory)) continue;
        releases.push_back(folder.second);
        ++others;
    }
    releases.insert(releases.end(), plan.deltaFrom.begin(), plan.deltaFrom.end());
    return releases;
}

int StagePatches(const PatchPlan& plan, const std::filesystem::path& stagedTree,
                 const std::filesystem::path& stagedKept, const std::vector<DeltaSource>& files) {
    if (!plan.replacedVersion.empty()) StageReplacedRelease(plan, stagedKept);
    const std::string index = MakeDeltaPatches(stagedTree, files, EarlierReleases(plan));
    if (index.empty()) return 0;
    if (!WriteFileThrough(stagedTree / "comm" / "delta.lst", index)) return -1;
    return static_cast<int>(std::count(index.begin(), index.end(), '\n'));
}

void KeepStagedReleases(const std::filesystem::path& outputDir,
                        const std::filesystem::path& stagedKept) {
    const std::filesystem::path kept = outputDir / KEPT_RELEASES_FOLDER;
    std::error_code error;
    for (const auto& folder : VersionFolders<Release>(stagedKept, ParseKeptName)) {
        const std::filesystem::path target = kept / folder.second.filename();
        if (std::filesystem::exists(target, error)) continue;
        std::filesystem::create_directories(kept, error);
        std::filesystem::rename(folder.second, target, error);
    }
    const auto folders = VersionFolders<Release>(kept, ParseKeptName);
    for (size_t i = kKeptReleases; i < folders.size(); ++i)
        std::filesystem::remove_all(folders[i].second, error);
}

std::string MakeDeltaPatches(const std::filesystem::path& stagedTree,
                             const std::vector<DeltaSource>& files,
                             const std::vector<std::filesystem::path>& earlierReleases) {
    const std::filesystem::path patchDir = stagedTree / "comm" / "delta";
    std::vector<DeltaEntry> entries;
    // A patch is named by its two digests only: paths with the same pair share it.
    std::map<std::string, uint64_t> written;
    for (const DeltaSource& file : files) {
        std::string target;
        if (!ReadSmallFile(stagedTree / file.relativePath, target)) continue;
        std::set<std::string> done;  // old digests already patched or tried
        for (const std::filesystem::path& release : earlierReleases) {
            const std::filesystem::path oldPath = release / file.relativePath;
            const std::string oldMd5 = DigestOfFile(oldPath);
            if (oldMd5.empty() || oldMd5 == file.md5 || !done.insert(oldMd5).second) continue;
            const std::string patchName = DeltaPatchPath(oldMd5, file.md5);
            const auto made = written.find(patchName);
            if (made != written.end()) {
                entries.push_back({file.listedPath, file.md5, oldMd5, made->second});
                continue;
            }
            std::string reference, patch;
            if (!ReadSmallFile(oldPath, reference) || !MakePatch(reference, target, patch))
                continue;
            if (patch.size() >= target.size() / 2) continue;
            std::error_code error;
            std::filesystem::create_directories(patchDir, error);
            const std::filesystem::path patchFile = stagedTree / std::filesystem::u8path(patchName);
            if (error || !WriteNewFile(patchFile, patch, false)) continue;
            written[patchName] = patch.size();
            entries.push_back({file.listedPath, file.md5, oldMd5, patch.size()});
        }
    }
    return FormatDeltaIndex(std::move(entries));
}
