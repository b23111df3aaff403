// Turning a release folder into the download server's tree and the version
// service's replies. Portable C++17: the platform's part is publish_platform.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A release version X.Y.Z and the numbers the updater derives from it.
struct ReleaseVersion {
    int major = 0;
    int minor = 0;  // hundredths: 1.5.0 is 1.05
    int build = 0;
    int lastVer = 0;               // "lastVer" of the reply
    std::string versionDirectory;  // update/<this>/ holds the version's files
    std::string majorDirectory;    // update/<this>/veldra.exe
};

// Parses X.Y.Z (decimal digits only, Y below 100) into what the updater will
// compute from the reply. False with a message when the updater cannot take it.
bool ParseReleaseVersion(const std::string& text, ReleaseVersion& version, std::string& error);

struct ReleaseFile {
    std::filesystem::path relativePath;  // below the release folder, as the platform names it
    std::string listedPath;              // UTF-8 with backslashes, as the file list names it
    uint64_t size = 0;
};

// Every file below releaseDir, sorted by listed path. False with a message
// (one line per problem) for what the updater cannot take: empty files, files
// it cannot digest (2 GiB or more) or list (4 GiB or more), paths holding "=",
// the updater's own names, names with no UTF-8 form or that Windows cannot
// hold, linked folders and anything that is neither file nor folder.
bool ScanRelease(const std::filesystem::path& releaseDir, std::vector<ReleaseFile>& files,
                 std::string& error);

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
};

constexpr int PUBLISH_OK = 0;
constexpr int PUBLISH_USAGE = 2;
constexpr int PUBLISH_REFUSED = 3;
constexpr int PUBLISH_WRITE_FAILED = 4;

// Writes the tree first and the replies last, each by rename. Returns one of
// the codes above; report receives (as UTF-8) what was done or why not.
int Publish(const PublishRequest& request, std::string& report);

// Makes a signing key pair into two new files: the private key (readable by
// its owner only) and the public key for updater builds. Never overwrites.
int MakeKeyFiles(const std::filesystem::path& privateFile, const std::filesystem::path& publicFile,
                 std::string& report);
