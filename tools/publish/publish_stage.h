// Staging a release: every file it serves, its list, the main program, the
// signatures and the package, written below the output folder's staging folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_scan.h"

constexpr char SIGNATURE_SUFFIX[] = ".sig";

// Where one publish writes, staged and final.
struct PublishLayout {
    std::filesystem::path out;
    std::filesystem::path updateRoot;
    std::filesystem::path finalDir;
    std::filesystem::path recordDir;
    std::filesystem::path recordPath;
    std::filesystem::path staging;
    std::filesystem::path stagedDir;
    std::filesystem::path oldDir;
    std::filesystem::path stagedMain;
    std::filesystem::path stagedMainSignature;
    std::filesystem::path stagedPackage;
    std::filesystem::path packageTarget;
    std::filesystem::path mainTarget;
    std::filesystem::path mainSignature;
};

PublishLayout LayoutOf(const std::filesystem::path& out, const ReleaseVersion& version);

// What staging learnt, for the replies and the report.
struct StagedRelease {
    std::string listMd5;
    std::string mainMd5;
    size_t listed = 0;
    uint64_t totalBytes = 0;
    int patched = 0;  // lines of comm/delta.lst
};

// Copies into a new file through buffer (one for all copies: a release holds
// thousands of small files); false when anything could not be read or written.
bool CopyInto(const std::filesystem::path& source, const std::filesystem::path& target,
              std::vector<char>& buffer);
bool MakeDirectories(const std::filesystem::path& dir);
void RemoveAll(const std::filesystem::path& path);
std::filesystem::path WithSuffix(std::filesystem::path path, const char* suffix);

// Writes everything the publish will move into place; key is null when
// nothing is signed. On failure the staging folder is gone, report says why
// and the result is PUBLISH_WRITE_FAILED.
int StageRelease(const PublishRequest& request, const ReleaseVersion& version,
                 const std::vector<ReleaseFile>& files, const SigningKey* key,
                 const PublishLayout& layout, StagedRelease& staged, std::string& report);
