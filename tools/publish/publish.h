// Turning a release folder into the download server's tree and the version
// service's replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A release version X.Y.Z and the numbers the updater derives from it.
struct ReleaseVersion {
    int major = 0;
    int minor = 0;  // hundredths: 1.5.0 is 1.05
    int build = 0;
    int lastVer = 0;                // "lastVer" of the reply
    std::wstring versionDirectory;  // update\<this>\ holds the version's files
    std::wstring majorDirectory;    // update\<this>\veldra.exe
};

// Parses X.Y.Z (decimal digits only, Y below 100) into what the updater will
// compute from the reply. False with a message when the updater cannot take it.
bool ParseReleaseVersion(const std::wstring& text, ReleaseVersion& version, std::wstring& error);

// What the updater computes from "lastVer", in the same precision it uses.
float ServerVersionOf(int lastVer);
std::wstring VersionDirectoryOf(float serverVersion);
std::wstring MajorDirectoryOf(float serverVersion);

struct ReleaseFile {
    std::wstring relativePath;  // backslashes, below the release folder
    uint64_t size = 0;
};

// Every file below releaseDir, sorted by path. False with a message for what
// the updater cannot take: empty files, files of 4 GiB or more, paths holding
// "=", the updater's own names or text that has no UTF-8 form.
bool ScanRelease(const std::wstring& releaseDir, std::vector<ReleaseFile>& files,
                 std::wstring& error);

// UTF-8 with surrogate pairs joined, so the updater's decoder reads the name
// back; false for unpaired surrogates.
bool ToListUtf8(const std::wstring& text, std::string& utf8);

// The JSON body of both replies.
std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5);

struct PublishRequest {
    std::wstring releaseDir;
    std::wstring versionText;
    std::wstring outputDir;
    std::wstring packagePath;  // empty: no package
    bool force = false;
    bool replace = false;
};

constexpr int PUBLISH_OK = 0;
constexpr int PUBLISH_USAGE = 2;
constexpr int PUBLISH_REFUSED = 3;
constexpr int PUBLISH_WRITE_FAILED = 4;

// Writes the tree first and the replies last, each by rename. Returns one of
// the codes above; report receives what was done or why not.
int Publish(const PublishRequest& request, std::wstring& report);
