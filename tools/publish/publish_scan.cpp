#include "tools/publish/publish_scan.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "engine/request_form.h"
#include "engine/version_numbers.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/windows_case.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t FOUR_GIB = 0x100000000ull;
constexpr char LIST_PATH[] = "comm\\file.lst";
// Names the updater runs under: a listed path holding one is never fetched.
const char* const UPDATER_NAMES[] = {"veldraupdate.exe", "Veldra\xE5\x8D\x87\xE7\xBA\xA7.exe"};
// Names Windows keeps for devices, with or without an extension.
const char* const DEVICE_NAMES[] = {"con", "prn", "aux", "nul"};
// Where the list's and the main program's signatures are served: a release
// file there would pass for one.
const char* const SIGNATURE_PATHS[] = {"comm\\file.lst.sig", "veldra.exe.sig",
                                       "comm\\release.txt.sig"};
// What the publisher and the updater write themselves, in the served tree or
// in the product folder: a release file or folder there would clash with it.
const char* const RESERVED_PATHS[] = {"comm",
                                      "comm\\file.lst",
                                      "comm\\file.lst.sig",
                                      "comm\\delta.lst",
                                      "comm\\delta",
                                      "~tmp.bak",
                                      "~tmp.md5",
                                      "~tmp.new",
                                      "updateErr.log",
                                      "veldra.exe.sig",
                                      "comm\\release.txt",
                                      "comm\\release.txt.sig",
                                      "comm\\file.sha256"};
// Patches a later release adds to the served tree.
constexpr char RESERVED_FOLDER[] = "comm\\delta\\";
// The updater's paths hold 260 UTF-16 units; a listed path of at most this
// many leaves about 100 for the install folder.
constexpr size_t LONGEST_LISTED_PATH = 160;
constexpr size_t SCAN_CHUNK = 1 << 16;
// Room kept behind a match, so a marker split across two reads is found.
constexpr size_t SCAN_OVERLAP = 128;
constexpr char PEM_BEGIN[] = "-----BEGIN ";
constexpr char PEM_PRIVATE_END[] = "PRIVATE KEY-----";

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string AsciiLowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), AsciiLower);
    return text;
}

bool ContainsAsciiNoCase(const std::string& text, const std::string& pattern) {
    return AsciiLowered(text).find(AsciiLowered(pattern)) != std::string::npos;
}

// The same file in a Windows product folder.
bool SameName(const std::string& a, const std::string& b) {
    return WindowsUpcased(a) == WindowsUpcased(b);
}

bool IsDigits(const std::string& text) {
    if (text.empty() || text.size() > 6) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "%.1f", as the updater prints the directories it asks for.
std::string OneDecimal(double value) {
    char buffer[64] = {};
    snprintf(buffer, sizeof(buffer), "%.1f", value);
    return buffer;
}

// A name a Windows product folder cannot hold: Linux allows these, and the
// updater would then ask for a file that is not there on every run.
bool WindowsCannotHold(const std::string& name) {
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string("<>:\"/\\|?*").find(c) != std::string::npos) {
            return true;
        }
    }
    if (name.back() == '.' || name.back() == ' ') return true;
    std::string stem = AsciiLowered(name.substr(0, name.find('.')));
    // Windows ignores blanks before the extension: "nul .txt" is NUL.
    stem.erase(stem.find_last_not_of(' ') + 1);
    for (const char* device : DEVICE_NAMES) {
        if (stem == device) return true;
    }
    if (stem.size() < 4 || (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0)) {
        return false;
    }
    std::string digit = stem.substr(3);
    // Any digit, 0 included, and the superscripts Windows also reserves.
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

void Walk(const fs::path& root, const fs::path& relativeDir, const std::string& listedDir,
          std::vector<ReleaseFile>& files, std::vector<std::string>& problems) {
    std::error_code error;
    fs::directory_iterator entries(root / relativeDir, error);
    if (error) {
        problems.push_back("folder cannot be read: " + (listedDir.empty() ? "." : listedDir));
        return;
    }
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const fs::directory_entry& entry = *entries;
        fs::path relative = relativeDir / entry.path().filename();
        std::string name;
        if (!PathToUtf8(entry.path().filename(), name)) {
            problems.push_back("path has no UTF-8 form: " + DisplayPath(relative));
            continue;
        }
        std::string listed = listedDir + name;
        if (WindowsCannotHold(name)) {
            problems.push_back("name Windows cannot hold: " + listed);
            continue;
        }
        std::error_code kind;
        if (IsLinkedFolder(entry.path())) {
            // A linked folder could lead back into the release or out of it.
            problems.push_back("linked folder (not followed): " + listed);
        } else if (entry.is_directory(kind)) {
            Walk(root, relative, listed + "\\", files, problems);
        } else if (entry.is_regular_file(kind)) {
            ReleaseFile file;
            file.relativePath = relative;
            file.listedPath = listed;
            file.size = entry.file_size(kind);
            if (kind) {
                problems.push_back("file cannot be read: " + listed);
            } else {
                files.push_back(file);
            }
        } else {
            problems.push_back("neither a file nor a folder: " + listed);
        }
    }
    if (error) problems.push_back("folder cannot be read: " + listedDir);
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const auto& problem : problems) text += Printable(problem) + "\n";
    return text;
}

// The release path that clashes with a reserved path: the same name in any
// letter case, or a folder of that name with something inside (but for the
// folder comm, which the list lives in).
bool ClashesWithReserved(const std::string& path) {
    std::string folded = WindowsUpcased(path);
    if (folded.rfind(WindowsUpcased(RESERVED_FOLDER), 0) == 0) return true;
    for (const char* reserved : RESERVED_PATHS) {
        std::string name = WindowsUpcased(reserved);
        if (folded == name) return true;
        if (name != "COMM" && folded.rfind(name + "\\", 0) == 0) return true;
    }
    return false;
}

// True when bytes hold a PEM "-----BEGIN ... PRIVATE KEY-----" line.
bool HoldsPrivateKeyMarker(const std::string& bytes) {
    for (size_t end = bytes.find(PEM_PRIVATE_END); end != std::string::npos;
         end = bytes.find(PEM_PRIVATE_END, end + 1)) {
        size_t lineStart = bytes.find_last_of("\r\n", end);
        lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
        if (bytes.find(PEM_BEGIN, lineStart) < end) return true;
    }
    return false;
}

// Length as the updater counts it: two units for a four-byte sequence.
size_t Utf16Units(const std::string& utf8) {
    size_t units = 0;
    for (char c : utf8) {
        unsigned char byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

enum class FileContent { ORDINARY, UNREADABLE, PRIVATE_KEY };

// Reads the whole file (links followed) looking for a private key.
FileContent InspectContent(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return FileContent::UNREADABLE;
    std::string window;
    std::vector<char> buffer(SCAN_CHUNK);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        window.append(buffer.data(), static_cast<size_t>(in.gcount()));
        if (HoldsPrivateKeyMarker(window)) return FileContent::PRIVATE_KEY;
        if (window.size() > SCAN_OVERLAP) window.erase(0, window.size() - SCAN_OVERLAP);
    }
    return in.bad() ? FileContent::UNREADABLE : FileContent::ORDINARY;
}

}  // namespace

std::string Printable(const std::string& text) {
    std::string printable;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8] = {};
            snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
            printable += escaped;
        } else {
            printable += c;
        }
    }
    return printable;
}

bool IsMainProgram(const std::string& listedPath) { return SameName(listedPath, MAIN_PROGRAM); }

bool ParseReleaseVersion(const std::string& text, ReleaseVersion& version, std::string& error) {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == '.') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    if (pieces.size() != 3 || !IsDigits(pieces[0]) || !IsDigits(pieces[1]) ||
        !IsDigits(pieces[2])) {
        error = "version \"" + text + "\" is not of the form X.Y.Z (decimal digits)";
        return false;
    }
    version.major = std::stoi(pieces[0]);
    version.minor = std::stoi(pieces[1]);
    version.build = std::stoi(pieces[2]);
    if (version.minor > 99) {
        error =
            "version \"" + text + "\": the second number counts hundredths and must be below 100";
        return false;
    }
    // The reply carries the version times 100, or times 1000 above 1000.
    int hundredfold = version.major * 100 + version.minor;
    int thousandfold = version.major * 1000 + version.minor * 10;
    version.lastVer = hundredfold <= 1000 ? hundredfold : thousandfold;
    float serverVersion = 0.0f;
    if (version.major > 2000000 || !ServerVersionFromLastVer(version.lastVer, serverVersion)) {
        error = "version \"" + text +
                "\" cannot be announced: the updater reads versions up to 1.0 as none";
        return false;
    }
    version.versionDirectory = OneDecimal(VersionDirectory(serverVersion));
    version.majorDirectory = OneDecimal(MajorVersion(static_cast<double>(serverVersion)));
    return true;
}

bool SameRelease(const ReleaseVersion& a, const ReleaseVersion& b) {
    return a.major == b.major && a.minor == b.minor && a.build == b.build;
}

bool IsOlder(const ReleaseVersion& a, const ReleaseVersion& b) {
    if (a.major != b.major) return a.major < b.major;
    if (a.minor != b.minor) return a.minor < b.minor;
    return a.build < b.build;
}

bool ScanRelease(const fs::path& releaseDir, std::vector<ReleaseFile>& files, std::string& error) {
    std::error_code code;
    if (!fs::is_directory(releaseDir, code)) {
        error = "release folder " + DisplayPath(releaseDir) + " does not exist";
        return false;
    }
    std::vector<std::string> problems;
    files.clear();
    Walk(releaseDir, fs::path(), "", files, problems);
    // One order for both platforms: UTF-8 bytes, not the platform's own units.
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
        return a.listedPath < b.listedPath;
    });
    bool hasMainProgram = false;
    std::set<std::string> folded;
    for (const auto& file : files) {
        const std::string& path = file.listedPath;
        if (SameName(path, MAIN_PROGRAM)) hasMainProgram = true;
        if (file.size == 0) problems.push_back("empty file (the updater skips size 0): " + path);
        if (file.size >= FOUR_GIB) {
            problems.push_back("file of 4 GiB or more: " + path);
        } else if (file.size > LARGEST_DIGESTED) {
            problems.push_back("file of 2 GiB or more (the updater cannot digest it): " + path);
        }
        if (path.find('=') != std::string::npos) {
            problems.push_back("path holds \"=\", the list's separator: " + path);
        }
        for (const char* name : UPDATER_NAMES) {
            if (ContainsAsciiNoCase(path, name)) {
                problems.push_back("path holds the updater's own name " + std::string(name) +
                                   " (never fetched): " + path);
            }
        }
        if (SameName(path, LIST_PATH)) {
            problems.push_back("path is the updater's own file list: " + path);
        }
        bool signaturePath = false;
        for (const char* signature : SIGNATURE_PATHS) {
            if (SameName(path, signature)) {
                problems.push_back("path is where a signature is served: " + path);
                signaturePath = true;
            }
        }
        if (!signaturePath && !SameName(path, LIST_PATH) && ClashesWithReserved(path)) {
            problems.push_back("path is reserved for what the publisher or the updater writes: " +
                               path);
        }
        if (Utf16Units(path) > LONGEST_LISTED_PATH) {
            problems.push_back("path longer than " + std::to_string(LONGEST_LISTED_PATH) +
                               " UTF-16 units (room is kept for the install folder): " + path);
        }
        std::string lost = RequestFormLoses(path);
        if (!lost.empty()) {
            problems.push_back(
                "path holds " + lost +
                ", which the updater's request does not carry to the server: " + path);
        }
        // A file refused for its size is not read through.
        FileContent content = file.size > LARGEST_DIGESTED
                                  ? FileContent::ORDINARY
                                  : InspectContent(releaseDir / file.relativePath);
        if (content == FileContent::UNREADABLE) {
            problems.push_back("file cannot be read: " + path);
        } else if (content == FileContent::PRIVATE_KEY) {
            problems.push_back("file holds a private key, which must never be published: " + path);
        }
        // Windows folds letter case: two such files would overwrite each other there.
        if (!folded.insert(WindowsUpcased(path)).second) {
            problems.push_back("path differs from another only in letter case: " + path);
        }
    }
    // A file and a folder whose names fold alike cannot both exist there
    // (a file comm is refused above as reserved).
    std::set<std::string> foldedFolders;
    for (const auto& file : files) {
        std::string path = WindowsUpcased(file.listedPath);
        for (size_t cut = path.find('\\'); cut != std::string::npos;
             cut = path.find('\\', cut + 1)) {
            foldedFolders.insert(path.substr(0, cut));
        }
    }
    for (const auto& file : files) {
        if (foldedFolders.count(WindowsUpcased(file.listedPath)) != 0) {
            problems.push_back("file has the name of a folder in another letter case: " +
                               file.listedPath);
        }
    }
    if (!hasMainProgram) problems.push_back("the release has no veldra.exe at its top");
    if (!problems.empty()) {
        error = Joined(problems);
        return false;
    }
    return true;
}
