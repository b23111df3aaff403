#include "tools/publish/publish_delta.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "engine/delta_index.h"
#include "support/delta_patch.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_progress.h"
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

// What a release's comm/file.lst says of one file.
struct ListedFile {
    std::string md5;
    uint64_t size = 0;
};

// The files a release folder's list names, by listed path; empty without a
// list (or with anything but a regular file in its place).
std::map<std::string, ListedFile> ListedFiles(const std::filesystem::path& release) {
    std::map<std::string, ListedFile> listed;
    const std::filesystem::path list = release / "comm" / "file.lst";
    std::error_code error;
    std::string text;
    if (!std::filesystem::is_regular_file(list, error) || !ReadFileBytes(list, text, kMaxListBytes))
        return listed;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t second = line.rfind('=');
        const size_t first = second == std::string::npos ? second : line.rfind('=', second - 1);
        if (first == std::string::npos || first == 0) continue;
        ListedFile file;
        file.md5 = line.substr(first + 1, second - first - 1);
        file.size = std::strtoull(line.c_str() + second + 1, nullptr, 10);
        listed[line.substr(0, first)] = file;
    }
    return listed;
}

using KeptLists = std::vector<std::pair<std::filesystem::path, std::map<std::string, ListedFile>>>;

// Every file of source below target, a hard link to an equal kept file where
// the lists say there is one, else to the source (the served tree is replaced
// by renames, never written in place), else copied. Of the version's comm
// folder only the list is kept, for later publishes to compare with.
bool CopyTree(const std::filesystem::path& source, const std::filesystem::path& target,
              const std::map<std::string, ListedFile>& listed, const KeptLists& kept) {
    std::error_code error;
    std::filesystem::create_directories(target / "comm", error);
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
            std::filesystem::path from = it->path();
            std::string name;
            PathToUtf8(relative, name);
            std::replace(name.begin(), name.end(), '/', '\\');
            const auto mine = listed.find(name);
            for (const auto& [folder, files] : kept) {
                const auto theirs = files.find(name);
                if (mine != listed.end() && theirs != files.end() &&
                    theirs->second.md5 == mine->second.md5 &&
                    theirs->second.size == mine->second.size &&
                    std::filesystem::is_regular_file(folder / relative, error)) {
                    from = folder / relative;
                    break;
                }
            }
            std::filesystem::create_hard_link(from, copy, error);
            if (error) {
                error.clear();
                std::filesystem::copy_file(it->path(), copy, error);
            }
        }
        if (error) return false;
    }
    const std::filesystem::path list = source / "comm" / "file.lst";
    if (std::filesystem::is_regular_file(list, error)) {
        std::filesystem::create_hard_link(list, target / "comm" / "file.lst", error);
        if (error) std::filesystem::copy_file(list, target / "comm" / "file.lst", error);
    }
    return !error;
}

// What the patches made at once may hold: half the machine's memory, or
// kFallbackPatchBudget where it cannot be learnt.
uint64_t PatchMemoryBudget() {
    const uint64_t physical = PhysicalMemory();
    return physical > 0 ? physical / 2 : kFallbackPatchBudget;
}

// Runs work(0) ... work(count - 1) on at most threads threads (0: one per
// processor). A job starts only while the costs of the jobs running stay
// within budget (0: no limit), or when it would run alone; larger jobs first.
template <typename Cost, typename Work>
void RunJobs(size_t count, unsigned threads, Cost cost, uint64_t budget, Work work) {
    if (count == 0) return;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return cost(a) > cost(b); });
    std::mutex mutex;
    std::condition_variable freed;
    size_t next = 0;
    uint64_t held = 0;
    size_t running = 0;
    auto worker = [&] {
        for (;;) {
            size_t job;
            uint64_t jobCost;
            {
                std::unique_lock<std::mutex> lock(mutex);
                freed.wait(lock, [&] {
                    return next == count || running == 0 || budget == 0 ||
                           held + cost(order[next]) <= budget;
                });
                if (next == count) return;
                job = order[next++];
                jobCost = cost(job);
                held += jobCost;
                ++running;
            }
            work(job);
            {
                std::lock_guard<std::mutex> lock(mutex);
                held -= jobCost;
                --running;
            }
            freed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    const size_t size = std::min<size_t>(threads, count);
    for (size_t i = 1; i < size; ++i) pool.emplace_back(worker);
    worker();
    for (auto& thread : pool) thread.join();
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
        // A major version's shared main program alone is no release.
        std::error_code error;
        if (!std::filesystem::is_regular_file(folder.second / "comm" / "file.lst", error)) continue;
        releases.push_back(folder.second);
        ++others;
    }
    releases.insert(releases.end(), plan.deltaFrom.begin(), plan.deltaFrom.end());
    return releases;
}

int StagePatches(const PatchPlan& plan, const std::filesystem::path& stagedTree,
                 const std::vector<DeltaSource>& files, unsigned jobs) {
    const std::string index = MakeDeltaPatches(stagedTree, files, EarlierReleases(plan), jobs);
    if (index.empty()) return 0;
    if (!WriteFileThrough(stagedTree / "comm" / "delta.lst", index)) return -1;
    return static_cast<int>(std::count(index.begin(), index.end(), '\n'));
}

void StageReplacedRelease(const PatchPlan& plan, const std::filesystem::path& stagedKept) {
    Release release;
    if (!ParseKeptName(plan.replacedVersion, release)) return;
    const std::filesystem::path served = plan.outputDir / "update" / plan.versionDirectory;
    const std::filesystem::path partial = stagedKept / ".partial";
    std::error_code error;
    std::filesystem::remove_all(partial, error);
    // Files equal to a kept release's share its disk: publishing one release
    // again and again keeps one copy, not one per publish.
    std::vector<std::pair<std::filesystem::path, std::map<std::string, ListedFile>>> kept;
    for (const auto& folder :
         VersionFolders<Release>(plan.outputDir / KEPT_RELEASES_FOLDER, ParseKeptName))
        kept.push_back({folder.second, ListedFiles(folder.second)});
    if (CopyTree(served, partial, ListedFiles(served), kept)) {
        std::filesystem::rename(partial, stagedKept / std::filesystem::u8path(plan.replacedVersion),
                                error);
    }
    std::filesystem::remove_all(partial, error);
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
                             const std::vector<std::filesystem::path>& earlierReleases,
                             unsigned jobs) {
    // Which earlier file each listed file is compared with; -1: its size and
    // listed digest equal the new file's, so it is not read at all.
    struct Candidate {
        size_t file;
        std::filesystem::path oldPath;
        std::string oldMd5;
    };
    std::vector<Candidate> candidates;
    std::vector<std::map<std::string, ListedFile>> lists;
    for (const auto& release : earlierReleases) lists.push_back(ListedFiles(release));
    for (size_t f = 0; f < files.size(); ++f) {
        if (files[f].size > kMaxPatchedFileSize) continue;
        for (size_t r = 0; r < earlierReleases.size(); ++r) {
            std::error_code error;
            if (!std::filesystem::is_directory(earlierReleases[r], error)) continue;
            const auto listed = lists[r].find(files[f].listedPath);
            if (listed != lists[r].end() && listed->second.size == files[f].size &&
                listed->second.md5 == files[f].md5)
                continue;
            candidates.push_back({f, earlierReleases[r] / files[f].relativePath, std::string()});
        }
    }
    {
        Progress compared("earlier files compared");
        compared.Start(candidates.size(), 0);
        RunJobs(
            candidates.size(), jobs, [](size_t) { return uint64_t(0); }, 0,
            [&](size_t i) {
                std::error_code error;
                // Anything but a regular file (a pipe) is never opened.
                if (std::filesystem::is_regular_file(candidates[i].oldPath, error) &&
                    std::filesystem::file_size(candidates[i].oldPath, error) <= kMaxPatchedFileSize)
                    candidates[i].oldMd5 = DigestOfFile(candidates[i].oldPath);
                compared.Advance(0);
            });
    }

    // One patch per pair of digests, from the first earlier file that has the
    // old one; the order is the files' and the releases', never the threads'.
    struct Pair {
        size_t file;
        std::filesystem::path oldPath;
        std::string oldMd5;
        uint64_t cost = 0;
        uint64_t patchSize = 0;  // 0: none kept
    };
    std::vector<Pair> pairs;
    std::map<std::string, size_t> pairOf;
    std::vector<std::pair<size_t, size_t>> uses;  // file, pair
    std::set<std::pair<size_t, std::string>> done;
    for (const Candidate& candidate : candidates) {
        const DeltaSource& file = files[candidate.file];
        if (candidate.oldMd5.empty() || candidate.oldMd5 == file.md5 ||
            !done.insert({candidate.file, candidate.oldMd5}).second)
            continue;
        const std::string name = DeltaPatchPath(candidate.oldMd5, file.md5);
        auto found = pairOf.find(name);
        if (found == pairOf.end()) {
            std::error_code error;
            const uint64_t oldSize = std::filesystem::file_size(candidate.oldPath, error);
            const uint64_t cost =
                kPatchMemoryPerByte * std::max<uint64_t>(oldSize, file.size) + kPatchMemoryFixed;
            found = pairOf.emplace(name, pairs.size()).first;
            pairs.push_back({candidate.file, candidate.oldPath, candidate.oldMd5, cost, 0});
        }
        uses.push_back({candidate.file, found->second});
    }

    const std::filesystem::path patchDir = stagedTree / "comm" / "delta";
    std::error_code error;
    if (!pairs.empty()) std::filesystem::create_directories(patchDir, error);
    uint64_t targetBytes = 0;
    for (const Pair& pair : pairs) targetBytes += files[pair.file].size;
    Progress made("patches made");
    made.Start(pairs.size(), targetBytes);
    RunJobs(
        pairs.size(), jobs, [&](size_t i) { return pairs[i].cost; }, PatchMemoryBudget(),
        [&](size_t i) {
            Pair& pair = pairs[i];
            const DeltaSource& file = files[pair.file];
            std::string target, reference, patch;
            if (ReadSmallFile(stagedTree / file.relativePath, target) &&
                ReadSmallFile(pair.oldPath, reference) && MakePatch(reference, target, patch) &&
                patch.size() < target.size() / 2) {
                const auto patchFile =
                    stagedTree / std::filesystem::u8path(DeltaPatchPath(pair.oldMd5, file.md5));
                if (WriteNewFile(patchFile, patch, false)) pair.patchSize = patch.size();
            }
            made.Advance(file.size);
        });

    std::vector<DeltaEntry> entries;
    for (const auto& [file, pair] : uses) {
        if (pairs[pair].patchSize == 0) continue;
        entries.push_back(
            {files[file].listedPath, files[file].md5, pairs[pair].oldMd5, pairs[pair].patchSize});
    }
    return FormatDeltaIndex(std::move(entries));
}
