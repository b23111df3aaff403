// Staging a release: every file it serves, its list, the main program, the
// signatures, the package, the record and the replies, written and forced to
// the disk below the output folder's staging folder before anything is
// swapped in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish_records.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_scan.h"

PublishLayout LayoutOf(const std::filesystem::path& out, const ReleaseVersion& version);

// The JSON body of both replies.
std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5);

// Tests make a step fail through the environment: VELDRA_PUBLISH_FAULT=<step>
// fails it as a full disk would, VELDRA_PUBLISH_FAULT=<step>:crash ends the
// process just before it, as a power cut would. The steps, in order:
//   staging:      stage-files stage-list stage-main stage-statement stage-package
//                 stage-replies flush
//   resign:       resign-stage resign-keep resign-journal resign-statement
//                 resign-signature resign-commit
//   swapping in:  keep journal tree main main-signature package record reply-0
//                 reply-1 commit
// True when step is to fail; reason then says so.
bool FaultInjected(const char* step, std::string& reason);

// Runs one step that touches the disk: false with the system's reason (or
// the reason action gave) when it fails or a fault is injected there.
template <typename Action>
bool RunStep(const char* step, std::string& reason, Action action) {
    reason.clear();
    if (FaultInjected(step, reason)) return false;
    if (action()) return true;
    if (reason.empty()) reason = SystemReason();
    return false;
}

// Creates dir and the folders above it; reason on failure.
bool MakeDirectories(const std::filesystem::path& dir, std::string& reason);
void RemoveAll(const std::filesystem::path& path);
std::filesystem::path WithSuffix(std::filesystem::path path, const char* suffix);

// Forces every file and folder below root, and root, to the disk.
bool FlushTree(const std::filesystem::path& root, std::string& reason);

// Writes everything the publish will move into place; key is null when
// nothing is signed; status goes into the replies. On failure the staging
// folder is gone, report says why and the result is PUBLISH_WRITE_FAILED.
int StageRelease(const PublishRequest& request, const ReleaseVersion& version,
                 const std::vector<ReleaseFile>& files, const SigningKey* key, int status,
                 const PublishLayout& layout, StagedRelease& staged, std::string& report);
