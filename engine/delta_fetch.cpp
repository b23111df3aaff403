#include "engine/delta_fetch.h"

#include <algorithm>
#include <new>
#include <optional>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/server_endpoints.h"
#include "support/delta_patch.h"
#include "support/encoding.h"
#include "support/file_digests.h"
#include "support/md5.h"

namespace {

constexpr wchar_t DELTA_INDEX_PATH[] = L"comm/delta.lst";

struct LocalCopy {
    std::string md5;    // empty when unknown
    std::string bytes;  // empty until read
    FileStamp stamp;    // when md5 was taken
    bool stamped = false;
};

// The local file's digest: the scan's while the file keeps the stamp it had
// then, else from one read, whose bytes are kept as the patch's reference.
bool KnowLocalCopy(const QueuedFile& file, const std::wstring& localPath,
                   const FileStamp* knownDifferent, LocalCopy& local) {
    if (!ReadFileStamp(localPath, local.stamp) || local.stamp.size == 0 ||
        local.stamp.size > kMaxPatchedFileSize)
        return false;
    local.stamped = true;
    if (!file.readMd5.empty() && knownDifferent != nullptr && local.stamp == *knownDifferent) {
        local.md5 = file.readMd5;
        return true;
    }
    if (ReadWholeFile(localPath, local.bytes) <= 0) return false;
    local.md5 = Md5Hex(local.bytes);
    return true;
}

// The result when the patch settled the file, nothing when it must come whole.
std::optional<int> TryPatch(const ServerPatches& deltas, const QueuedFile& file,
                            const std::wstring& localPath, const FileStamp* knownDifferent,
                            LocalCopy& local) {
    if (file.listedSize == 0 || file.listedSize > kMaxPatchedFileSize) return std::nullopt;
    if (!HasDeltaPatchTo(deltas.entries, file.relativePath, file.expectedMd5)) return std::nullopt;
    if (!KnowLocalCopy(file, localPath, knownDifferent, local)) return std::nullopt;
    // Current already: what DownloadFile would find without a fetch.
    if (local.md5 == file.expectedMd5) return DOWNLOAD_OK;
    const std::optional<DeltaLookup> found =
        FindDeltaPatch(deltas.entries, file.relativePath, local.md5);
    if (!found || found->newMd5 != file.expectedMd5) return std::nullopt;

    // The scan's digest spared a read until now; the result's digest below
    // catches a reference that changed since.
    if (local.bytes.empty() && ReadWholeFile(localPath, local.bytes) <= 0) return std::nullopt;
    std::string patch;
    const std::string url = WideToUtf8(DownloadBaseUrl() + deltas.versionPrefix) +
                            DeltaPatchPath(local.md5, found->newMd5);
    // Patches are kept only below half the file: more is not a patch worth taking.
    const uint64_t limit = std::min(found->patchSize, file.listedSize / 2);
    if (limit == 0) return std::nullopt;
    if (DownloadToMemory(url, patch, static_cast<size_t>(limit)) != DOWNLOAD_OK)
        return std::nullopt;
    std::string rebuilt;
    if (!ApplyPatch(local.bytes, patch, file.listedSize, rebuilt, nullptr)) return std::nullopt;
    patch = std::string();
    local.bytes = std::string();
    if (!BytesHaveDigests(rebuilt, file.expectedMd5, file.expectedSha256, ReleaseSigningEnabled()))
        return std::nullopt;
    return PutFileByReplacement(localPath, rebuilt) ? DOWNLOAD_OK : DOWNLOAD_WRITE_FAILED;
}

}  // namespace

void FetchPatchIndex(ServerPatches& deltas) {
    const std::lock_guard<std::mutex> one(deltas.patching);
    if (deltas.indexFetched) return;
    deltas.indexFetched = true;
    std::string bytes;
    const std::string url = WideToUtf8(DownloadBaseUrl() + deltas.versionPrefix + DELTA_INDEX_PATH);
    if (DownloadToMemory(url, bytes, static_cast<size_t>(kMaxDeltaIndexBytes)) != DOWNLOAD_OK)
        return;
    if (!ParseDeltaIndex(bytes, deltas.entries)) deltas.entries.clear();
}

int FetchQueuedFile(ServerPatches& deltas, const QueuedFile& file, const std::wstring& serverPath,
                    const std::wstring& localPath, const FileStamp* knownDifferent) {
    FetchPatchIndex(deltas);
    LocalCopy local;
    {
        const std::lock_guard<std::mutex> one(deltas.patching);
        try {
            if (!deltas.entries.empty()) {
                if (const std::optional<int> result =
                        TryPatch(deltas, file, localPath, knownDifferent, local))
                    return *result;
            }
        } catch (const std::bad_alloc&) {
            // Too little memory for a patch is no reason to fail the file.
            deltas.entries.clear();
        }
        // Its bytes are not held while the whole file comes.
        local.bytes = std::string();
    }
    // A file just read and found different is not read a second time.
    const bool readNow = local.stamped && !local.md5.empty();
    return DownloadFile(serverPath, localPath, file.expectedMd5,
                        readNow ? &local.stamp : knownDifferent, file.listedSize,
                        file.expectedSha256);
}
