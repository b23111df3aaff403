// Asking the version service what update is due.
#pragma once

#include <cstdint>
#include <string>

constexpr int32_t STATUS_FORCED = 3432;
constexpr int32_t STATUS_NEW_VERSION = 3431;
constexpr int32_t STATUS_NEW_BUILD = 3430;
constexpr int32_t STATUS_LIST_CHANGED = 3420;
constexpr int32_t STATUS_UP_TO_DATE = 0;
constexpr int32_t STATUS_NOT_CHECKED = -4;

struct VersionCheckResult {
    int32_t status = STATUS_NOT_CHECKED;
    std::string listMd5;
    int32_t serverBuild = 0;
    double serverVersion = 0.0;
    std::string packageMd5;
    int32_t lastVer = 0;           // the reply's "lastVer" as sent
    std::string installedVersion;  // "ver" of config\config.ini as read
};

// A reply larger than this is unusable; it is never read whole.
constexpr size_t VERSION_REPLY_LIMIT = 1024 * 1024;

// Fills result from the service's reply and the local files; an unusable reply
// leaves it as the caller initialised it.
void CheckVersion(VersionCheckResult& result);

// The decision of CheckVersion for a reply body and the installed "ver" text.
void ApplyVersionReply(const std::string& reply, const std::string& installedVersion,
                       VersionCheckResult& result);
