// Reading a release: its version and its files, and refusing what the updater
// could not take from them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class Progress;

// The updater reads a file whole with a signed 32-bit count before it digests
// it: a larger file never matches its listed digest and is fetched forever.
constexpr uint64_t LARGEST_DIGESTED = 0x7FFFFFFFull;
constexpr char MAIN_PROGRAM[] = "veldra.exe";

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

// Compared as numbers: 01.31.0 is 1.31.0.
bool SameRelease(const ReleaseVersion& a, const ReleaseVersion& b);
bool IsOlder(const ReleaseVersion& a, const ReleaseVersion& b);

struct ReleaseFile {
    std::filesystem::path relativePath;  // below the release folder, as the platform names it
    std::string listedPath;              // UTF-8 with backslashes, as the file list names it
    uint64_t size = 0;
};

// The forms of the signing key that no published file may hold: its private
// scalar, which its DER forms (PKCS#8, SEC1) hold too, and that scalar as
// base64 from each of the three places a base64 text can start counting.
struct KeyForms {
    std::string scalar;  // empty: no key to look for
    std::vector<std::string> base64;
};

// The forms of the key in privatePem (PKCS#8 as openssl writes it).
KeyForms KeyFormsOf(const std::string& privatePem);

// Empty when file holds no private key: no PEM private-key block (as UTF-8 or
// UTF-16), none of forms and no PKCS#12 container unless pkcs12Allowed; else
// what it holds, or that it cannot be read. Reads the file once.
std::string ScanForKeys(const std::filesystem::path& file, const KeyForms& forms,
                        bool pkcs12Allowed);

// Every file below releaseDir, sorted by listed path. False with a message
// (one line per problem) for what the updater cannot take: empty files, files
// it cannot digest (2 GiB or more) or list (4 GiB or more), paths holding "=",
// the updater's own names, names with no UTF-8 form or that Windows cannot
// hold, linked folders and anything that is neither file nor folder, and
// files holding a key (see ScanForKeys; pkcs12Allowed names release paths).
// progress, when given, follows the files read.
bool ScanRelease(const std::filesystem::path& releaseDir, const KeyForms& forms,
                 const std::vector<std::string>& pkcs12Allowed, std::vector<ReleaseFile>& files,
                 std::string& error, Progress* progress);

// The release's main program, in any letter case.
bool IsMainProgram(const std::string& listedPath);

// text with control characters as \xNN, fit to print.
std::string Printable(const std::string& text);
