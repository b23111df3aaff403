#include "tools/publish/publish_scan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#include "engine/request_form.h"
#include "engine/version_numbers.h"
#include "tools/publish/publish_platform.h"
#include "tools/publish/publish_progress.h"
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
constexpr size_t SCAN_CHUNK = 1 << 20;
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
    // The updater stages every file it writes as ~tmp.<...>.new beside it.
    const std::string name = folded.substr(folded.find_last_of('\\') + 1);
    if (name.size() >= 9 && name.rfind("~TMP.", 0) == 0 &&
        name.compare(name.size() - 4, 4, ".NEW") == 0) {
        return true;
    }
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

enum class FileContent { ORDINARY, UNREADABLE, PRIVATE_KEY, SIGNING_KEY, PKCS12 };

constexpr char BASE64_DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// A PKCS#12 SafeBag of a type that carries a private key: the OID of keyBag
// or pkcs8ShroudedKeyBag (1.2.840.113549.1.12.10.1.1 and .2) with its tag and
// length, the last byte apart, then the bag's [0]. Tag and [0] included, so
// that a program holding the bare OID among its constants is not taken for one.
constexpr char PKCS12_KEY_BAG[] = "\x06\x0B\x2A\x86\x48\x86\xF7\x0D\x01\x0C\x0A\x01";
constexpr char BAG_VALUE = '\xA0';
// The start of a PFX after its outer SEQUENCE header: INTEGER 3, then SEQUENCE.
constexpr char PFX_VERSION[] = "\x02\x01\x03\x30";
constexpr size_t SCALAR_BYTES = 32;
// Where openssl's PKCS#8 form of a P-256 key, the only one taken, holds the scalar.
constexpr size_t PKCS8_SCALAR_AT = 36;

std::string Base64(const std::string& bytes) {
    std::string text;
    for (size_t at = 0; at + 3 <= bytes.size(); at += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 16 |
                         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
                         static_cast<unsigned char>(bytes[at + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) text += BASE64_DIGITS[(group >> shift) & 63];
    }
    return text;
}

// A byte of base64 text as the standard alphabet spells it (the URL-safe
// digits mapped), or 0 for anything else: line breaks, blanks, quotes, the
// zero bytes of UTF-16 all drop out.
char Base64Digit(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '/') {
        return c;
    }
    return c == '-' ? '+' : c == '_' ? '/' : 0;
}

std::string Base64Decoded(const std::string& text) {
    std::string bytes;
    uint32_t group = 0;
    int bits = 0;
    for (char c : text) {
        const char* digit = c ? strchr(BASE64_DIGITS, c) : nullptr;
        if (digit == nullptr) continue;
        group = group << 6 | static_cast<uint32_t>(digit - BASE64_DIGITS);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((group >> bits) & 0xFF);
        }
    }
    return bytes;
}

// A PFX: SEQUENCE (short or long length form), then version 3.
bool StartsAsPkcs12(const std::string& head) {
    if (head.size() < 2 || head[0] != '\x30') return false;
    unsigned char length = static_cast<unsigned char>(head[1]);
    size_t body = length < 0x80 ? 2 : 2 + (length & 0x7F);
    return head.compare(body, sizeof(PFX_VERSION) - 1, PFX_VERSION) == 0;
}

bool HoldsKeyBag(const std::string& bytes) {
    const std::string bag(PKCS12_KEY_BAG);
    for (size_t at = bytes.find(bag); at != std::string::npos; at = bytes.find(bag, at + 1)) {
        if (at + bag.size() + 1 < bytes.size() &&
            (bytes[at + bag.size()] == '\x01' || bytes[at + bag.size()] == '\x02') &&
            bytes[at + bag.size() + 1] == BAG_VALUE) {
            return true;
        }
    }
    return false;
}

// A PEM marker's end written as UTF-16, either byte order: "E Y - - -".
constexpr char WIDE_MARKER[] = "E\0Y\0-\0-\0-";
constexpr size_t WIDE_MARKER_BYTES = sizeof(WIDE_MARKER) - 1;

// The bytes read, and their base64 digits alone when there is a key to look
// for, each with the tail of the previous read kept so that a form split
// across two reads is still found.
struct ScanWindows {
    std::string raw;     // the bytes: PEM, DER, the bare scalar, PKCS#12
    std::string digits;  // base64 of the key, broken into lines or not

    void Append(const char* data, size_t size, bool withDigits) {
        raw.append(data, size);
        if (!withDigits) return;
        static const auto table = [] {
            std::array<char, 256> map{};
            for (int c = 0; c < 256; ++c)
                map[static_cast<size_t>(c)] = Base64Digit(static_cast<char>(c));
            return map;
        }();
        size_t length = digits.size();
        digits.resize(length + size);
        for (size_t i = 0; i < size; ++i) {
            char digit = table[static_cast<unsigned char>(data[i])];
            digits[length] = digit;
            length += digit != 0;
        }
        digits.resize(length);
    }
    void Trim() {
        for (std::string* window : {&raw, &digits}) {
            if (window->size() > SCAN_OVERLAP) window->erase(0, window->size() - SCAN_OVERLAP);
        }
    }
};

// A PEM private-key marker in UTF-16: looked for without the zero bytes,
// and only where its end is there in that form at all.
bool HoldsWideMarker(const std::string& raw) {
    if (raw.find(std::string(WIDE_MARKER, WIDE_MARKER_BYTES)) == std::string::npos) return false;
    std::string narrow;
    for (char c : raw) {
        if (c != 0) narrow += c;
    }
    return HoldsPrivateKeyMarker(narrow);
}

using Searcher = std::boyer_moore_horspool_searcher<std::string::const_iterator>;

// The key's forms, ready to be looked for: these skip most bytes unread.
struct KeySearch {
    std::vector<Searcher> raw, digits;
    explicit KeySearch(const KeyForms& forms) {
        if (!forms.scalar.empty()) raw.emplace_back(forms.scalar.begin(), forms.scalar.end());
        for (const auto& text : forms.base64) digits.emplace_back(text.begin(), text.end());
    }
};

bool Finds(const std::vector<Searcher>& searchers, const std::string& text) {
    for (const auto& searcher : searchers) {
        if (std::search(text.begin(), text.end(), searcher) != text.end()) return true;
    }
    return false;
}

FileContent Classify(const ScanWindows& windows, const KeySearch& key, bool first) {
    if (HoldsPrivateKeyMarker(windows.raw) || HoldsWideMarker(windows.raw)) {
        return FileContent::PRIVATE_KEY;
    }
    if (Finds(key.raw, windows.raw) || Finds(key.digits, windows.digits)) {
        return FileContent::SIGNING_KEY;
    }
    if ((first && StartsAsPkcs12(windows.raw)) || HoldsKeyBag(windows.raw)) {
        return FileContent::PKCS12;
    }
    return FileContent::ORDINARY;
}

// Reads the whole file (links followed) looking for a private key in any of
// the forms above; a PKCS#12 container counts unless it is allowed.
FileContent InspectContent(const fs::path& file, const KeyForms& forms, bool pkcs12Allowed) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return FileContent::UNREADABLE;
    ScanWindows windows;
    const KeySearch key(forms);
    std::vector<char> buffer(SCAN_CHUNK);
    for (bool first = true; in; first = false) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        windows.Append(buffer.data(), static_cast<size_t>(in.gcount()), !forms.base64.empty());
        FileContent content = Classify(windows, key, first);
        if (content != FileContent::ORDINARY &&
            !(content == FileContent::PKCS12 && pkcs12Allowed)) {
            return content;
        }
        windows.Trim();
    }
    return in.bad() ? FileContent::UNREADABLE : FileContent::ORDINARY;
}

// What a file that holds a key holds, or empty.
std::string KeyProblem(FileContent content) {
    switch (content) {
        case FileContent::UNREADABLE:
            return "cannot be read";
        case FileContent::PRIVATE_KEY:
            return "holds a private key, which must never be published";
        case FileContent::SIGNING_KEY:
            return "holds the signing key (its DER, its private scalar or their base64), which "
                   "must "
                   "never be published";
        case FileContent::PKCS12:
            return "is or holds a PKCS#12 container, which carries private keys (publish it on "
                   "purpose with --pkcs12)";
        default:
            return std::string();
    }
}

}  // namespace

KeyForms KeyFormsOf(const std::string& privatePem) {
    KeyForms forms;
    std::string body = privatePem;
    size_t begin = body.find("-----", body.find(PEM_BEGIN) + 1);
    size_t end = body.find("-----END");
    if (begin == std::string::npos || end == std::string::npos || end < begin) return forms;
    std::string der = Base64Decoded(body.substr(begin + 5, end - begin - 5));
    if (der.size() < PKCS8_SCALAR_AT + SCALAR_BYTES) return forms;
    forms.scalar = der.substr(PKCS8_SCALAR_AT, SCALAR_BYTES);
    // Base64 encodes three bytes at a time from wherever its text starts: one
    // of these three is whole in any base64 text holding the scalar.
    for (size_t skip = 0; skip < 3; ++skip)
        forms.base64.push_back(Base64(forms.scalar.substr(skip)));
    std::fill(der.begin(), der.end(), '\0');
    return forms;
}

std::string ScanForKeys(const fs::path& file, const KeyForms& forms, bool pkcs12Allowed) {
    return KeyProblem(InspectContent(file, forms, pkcs12Allowed));
}

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

bool ScanRelease(const fs::path& releaseDir, const KeyForms& forms,
                 const std::vector<std::string>& pkcs12Allowed, std::vector<ReleaseFile>& files,
                 std::string& error, Progress* progress) {
    std::vector<std::string> pkcs12;
    for (std::string allowed : pkcs12Allowed) {
        std::replace(allowed.begin(), allowed.end(), '/', '\\');
        pkcs12.push_back(allowed);
    }
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
    if (progress) {
        uint64_t bytes = 0;
        for (const auto& file : files) bytes += file.size;
        progress->Start(files.size(), bytes);
    }
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
        bool pkcs12Allowed = false;
        for (const auto& allowed : pkcs12) pkcs12Allowed = pkcs12Allowed || SameName(allowed, path);
        std::string keyProblem =
            file.size > LARGEST_DIGESTED
                ? std::string()
                : ScanForKeys(releaseDir / file.relativePath, forms, pkcs12Allowed);
        if (!keyProblem.empty()) problems.push_back("file " + keyProblem + ": " + path);
        if (progress) progress->Advance(file.size);
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
