// Turning a release folder into the download server's tree and the version
// service's replies. Portable C++17: the platform's part is publish_platform.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_scan.h"

// The JSON body of both replies.
std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5);

struct PublishRequest {
    std::filesystem::path releaseDir;
    std::string versionText;  // UTF-8
    std::filesystem::path outputDir;
    std::filesystem::path packagePath;  // empty: no package
    std::filesystem::path signingKey;   // private key file; empty: nothing signed
    bool force = false;
    bool replace = false;
    bool rollback = false;                         // a version below the announced one, on purpose
    bool packageGiven = false;                     // --package was on the command line, even empty
    bool noDelta = false;                          // no patches, no comm/delta.lst
    std::vector<std::filesystem::path> deltaFrom;  // further earlier releases to patch from
    int expiresInDays = 0;                         // of the signed statement; 0: never
};

constexpr int PUBLISH_OK = 0;
constexpr int PUBLISH_USAGE = 2;
constexpr int PUBLISH_REFUSED = 3;
constexpr int PUBLISH_WRITE_FAILED = 4;

// The lastVer the replies in out announce now; 0 when there is none.
int AnnouncedLastVer(const std::filesystem::path& out);

// Takes the lock that keeps a second publisher off out; false with report
// saying why when it cannot.
bool LockOutput(OutputLock& lock, const std::filesystem::path& out, std::string& report);

// Writes the tree first and the replies last, each by rename. Returns one of
// the codes above; report receives (as UTF-8) what was done or why not.
int Publish(const PublishRequest& request, std::string& report);

// Makes a signing key pair into two new files: the private key (readable by
// its owner only) and the public key for updater builds. Never overwrites.
int MakeKeyFiles(const std::filesystem::path& privateFile, const std::filesystem::path& publicFile,
                 std::string& report);
