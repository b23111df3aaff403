// A queued file rebuilt from a patch against the local copy, when the server
// offers one; every other case fetches the whole file as before.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/delta_index.h"
#include "engine/file_list.h"

// The patches a server version offers, its index fetched at the first file
// that needs it. None when the index is missing, could not be fetched or
// read: then every file comes whole.
struct ServerPatches {
    std::wstring versionPrefix;  // "/update/<version directory>/"
    bool indexFetched = false;
    std::vector<DeltaEntry> entries = {};
    // A patch holds its reference, the patch and the result in memory: files
    // fetched side by side take their patches one at a time.
    std::mutex patching = {};
};

// Fetches the index now, once, so files fetched side by side find it read.
void FetchPatchIndex(ServerPatches& deltas);

// DownloadFile for a queued file, trying its patch first; safe to call from
// several threads at once with one ServerPatches. The index is
// fetched once (versionPrefix + "comm/delta.lst", at most kMaxDeltaIndexBytes). A patch is taken
// only when the file's local content has an old digest the index names for
// it, the rebuilt bytes have the digest the file list gives (in a signed
// build, the verified list's), and both the local file and the listed size
// are at most kMaxPatchedFileSize: reference and result are held in memory
// together. Otherwise (no entry, fetch failed, patch refused, wrong digest,
// too little memory) the whole file is fetched. Results as DownloadFile's.
int FetchQueuedFile(ServerPatches& deltas, const QueuedFile& file, const std::wstring& serverPath,
                    const std::wstring& localPath, const FileStamp* knownDifferent);
