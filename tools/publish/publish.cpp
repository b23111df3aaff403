#include "tools/publish/publish.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>

#include "engine/version_numbers.h"
#include "tools/publish/publish_platform.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t FOUR_GIB = 0x100000000ull;
// The updater reads a file whole with a signed 32-bit count before it digests
// it: a larger file never matches its listed digest and is fetched forever.
constexpr uint64_t LARGEST_DIGESTED = 0x7FFFFFFFull;
constexpr int STATUS_NEW_VERSION = 3431;
constexpr int STATUS_FORCED = 3432;
constexpr char MAIN_PROGRAM[] = "veldra.exe";
constexpr char LIST_PATH[] = "comm\\file.lst";
// Names the updater runs under: a listed path holding one is never fetched.
const char* const UPDATER_NAMES[] = {"veldraupdate.exe", "Veldra\xE5\x8D\x87\xE7\xBA\xA7.exe"};
// Names Windows keeps for devices, with or without an extension.
const char* const DEVICE_NAMES[] = {"con", "prn", "aux", "nul"};
constexpr size_t COPY_CHUNK = 1 << 20;
constexpr char SIGNATURE_SUFFIX[] = ".sig";
// Where the list's and the main program's signatures are served: a release
// file there would pass for one.
const char* const SIGNATURE_PATHS[] = {"comm\\file.lst.sig", "veldra.exe.sig"};
// A key file is a few hundred bytes; more is not read.
constexpr size_t LARGEST_KEY_FILE = 1 << 16;
// What a key signs once before it is used, to show that it works.
constexpr char KEY_PROBE[] = "veldra-publish key check";

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string AsciiLowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), AsciiLower);
    return text;
}

bool ContainsAsciiNoCase(const std::string& text, const std::string& pattern) {
    return AsciiLowered(text).find(AsciiLowered(pattern)) != std::string::npos;
}

bool EqualsAsciiNoCase(const std::string& a, const std::string& b) {
    return AsciiLowered(a) == AsciiLowered(b);
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
    for (const char* device : DEVICE_NAMES) {
        if (stem == device) return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
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
    for (const auto& problem : problems) text += problem + "\n";
    return text;
}

// Copies into a new file through buffer (one for all copies: a release holds
// thousands of small files); false when anything could not be read or written.
bool CopyInto(const fs::path& source, const fs::path& target, std::vector<char>& buffer) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    buffer.resize(COPY_CHUNK);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = in.gcount();
        if (got > 0 && !out.write(buffer.data(), got)) return false;
    }
    if (in.bad() || !in.eof()) return false;
    out.close();
    return !out.fail();
}

// Copies into a staged file and renames it over target.
bool PlaceCopy(const fs::path& source, const fs::path& staged, const fs::path& target,
               std::vector<char>& buffer) {
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    return CopyInto(source, staged, buffer) && RenameOver(staged, target);
}

bool MakeDirectories(const fs::path& dir) {
    std::error_code error;
    fs::create_directories(dir, error);
    return fs::is_directory(dir, error);
}

void RemoveAll(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(path, error))) return;
    // A read-only mark (Windows) or a folder without write permission would
    // stop the removal half-way.
    if (fs::is_directory(fs::symlink_status(path, error))) {
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code ignored;
            fs::permissions(it->path(), fs::perms::owner_write,
                            fs::perm_options::add | fs::perm_options::nofollow, ignored);
        }
    }
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove_all(path, error);
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// True when path is gone afterwards.
bool RemoveFile(const fs::path& path) {
    std::error_code error;
    fs::remove(path, error);
    return !error;
}

// The file's bytes, at most limit of them; false when it cannot be opened or read.
bool ReadFileBytes(const fs::path& path, std::string& bytes, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.clear();
    std::vector<char> buffer(COPY_CHUNK);
    while (in && bytes.size() < limit) {
        in.read(buffer.data(),
                static_cast<std::streamsize>(std::min(buffer.size(), limit - bytes.size())));
        bytes.append(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    return !in.bad();
}

// The key in file, shown to work by one signature.
bool LoadSigningKey(const fs::path& file, SigningKey& key, std::string& error) {
    std::string text;
    std::string probe;
    if (!ReadFileBytes(file, text, LARGEST_KEY_FILE)) {
        error = "signing key " + DisplayPath(file) + " cannot be read";
        return false;
    }
    if (!ReadSigningKey(text, key) || !SignBytes(key, KEY_PROBE, probe)) {
        error = "signing key " + DisplayPath(file) +
                " is not an unencrypted P-256 private key in PEM \"PRIVATE KEY\" (PKCS#8) form, "
                "as veldra-publish keygen and openssl genpkey write it";
        return false;
    }
    return true;
}

// Writes the signature of file's exact bytes to signatureFile.
bool SignInto(const SigningKey& key, const fs::path& file, const fs::path& signatureFile) {
    std::string bytes;
    std::string signature;
    return ReadFileBytes(file, bytes, SIZE_MAX) && SignBytes(key, bytes, signature) &&
           WriteFileThrough(signatureFile, signature);
}

fs::path WithSuffix(fs::path path, const char* suffix) {
    path += suffix;
    return path;
}

std::string ReadSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char buffer[256] = {};
    in.read(buffer, sizeof(buffer));
    return std::string(buffer, static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
}

}  // namespace

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
        if (EqualsAsciiNoCase(path, MAIN_PROGRAM)) hasMainProgram = true;
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
        if (EqualsAsciiNoCase(path, LIST_PATH)) {
            problems.push_back("path is the updater's own file list: " + path);
        }
        for (const char* signature : SIGNATURE_PATHS) {
            if (EqualsAsciiNoCase(path, signature)) {
                problems.push_back("path is where a signature is served: " + path);
            }
        }
        // Windows folds letter case: two such files would overwrite each other there.
        if (!folded.insert(AsciiLowered(path)).second) {
            problems.push_back("path differs from another only in letter case: " + path);
        }
    }
    if (!hasMainProgram) problems.push_back("the release has no veldra.exe at its top");
    if (!problems.empty()) {
        error = Joined(problems);
        return false;
    }
    return true;
}

std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5) {
    return "{\"status\":" + std::to_string(status) + ",\"lastVer\":" + std::to_string(lastVer) +
           ",\"newmd5\":\"" + mainProgramMd5 + "\",\"skinmd5\":\"" + listMd5 + "\"}\n";
}

int Publish(const PublishRequest& request, std::string& report) {
    ReleaseVersion version;
    std::string error;
    if (!ParseReleaseVersion(request.versionText, version, error)) {
        report = "refused: " + error;
        return PUBLISH_REFUSED;
    }
    if (FoldersOverlap(request.releaseDir, request.outputDir)) {
        report = "refused: the output folder and the release folder must not lie one in the other";
        return PUBLISH_REFUSED;
    }
    std::vector<ReleaseFile> files;
    if (!ScanRelease(request.releaseDir, files, error)) {
        report = "refused:\n" + error;
        return PUBLISH_REFUSED;
    }
    std::error_code code;
    if (!request.packagePath.empty() && (!fs::is_regular_file(request.packagePath, code) ||
                                         fs::file_size(request.packagePath, code) == 0 || code)) {
        report = "refused: package " + DisplayPath(request.packagePath) + " is missing or empty";
        return PUBLISH_REFUSED;
    }
    bool signing = !request.signingKey.empty();
    SigningKey key;
    if (signing) {
        if (FoldersOverlap(request.signingKey, request.releaseDir) ||
            FoldersOverlap(request.signingKey, request.outputDir)) {
            report =
                "refused: the signing key lies in the release or the output folder, from "
                "where it would be published; keep it elsewhere";
            return PUBLISH_REFUSED;
        }
        if (!LoadSigningKey(request.signingKey, key, error)) {
            report = "refused: " + error;
            return PUBLISH_REFUSED;
        }
    }

    const fs::path& out = request.outputDir;
    fs::path updateRoot = out / "update";
    fs::path finalDir = updateRoot / version.versionDirectory;
    fs::path recordDir = out / "published";
    fs::path recordPath = recordDir / (version.versionDirectory + ".txt");
    fs::path staging = out / ".staging";
    fs::path stagedDir = staging / version.versionDirectory;
    fs::path oldDir = staging / (version.versionDirectory + ".old");

    if (!MakeDirectories(out)) {
        report = "cannot create output folder " + DisplayPath(out);
        return PUBLISH_WRITE_FAILED;
    }
    OutputLock lock;
    if (!lock.Take(out / ".publish.lock")) {
        report = "another publisher is writing " + DisplayPath(out);
        return PUBLISH_WRITE_FAILED;
    }

    std::string recorded = ReadSmallFile(recordPath);
    if (fs::exists(finalDir, code) && recorded != request.versionText && !request.replace) {
        std::string held = recorded.empty() ? "an unrecorded version" : "version " + recorded;
        report = "refused: update\\" + version.versionDirectory + " already holds " + held + "; " +
                 request.versionText +
                 " is served from the same directory. Run again with --replace to replace it.";
        return PUBLISH_REFUSED;
    }

    // Staged tree: every file but the main program, then the list.
    RemoveAll(staging);
    if (!MakeDirectories(stagedDir / "comm")) {
        report = "cannot create " + DisplayPath(staging);
        return PUBLISH_WRITE_FAILED;
    }
    auto fail = [&](const std::string& message) {
        RemoveAll(staging);
        report = message;
        return PUBLISH_WRITE_FAILED;
    };
    bool sharedDirectory = version.versionDirectory == version.majorDirectory;
    fs::path mainSource;
    for (const auto& file : files) {
        if (EqualsAsciiNoCase(file.listedPath, MAIN_PROGRAM)) {
            mainSource = request.releaseDir / file.relativePath;
        }
    }
    std::string list;
    uint64_t totalBytes = 0;
    size_t listed = 0;
    fs::path madeDirectory;
    std::vector<char> buffer;
    for (const auto& file : files) {
        bool isMain = EqualsAsciiNoCase(file.listedPath, MAIN_PROGRAM);
        // The main program arrives by its own path, which waits for a running product.
        if (isMain && !sharedDirectory) continue;
        fs::path target = stagedDir / file.relativePath;
        fs::path parent = target.parent_path();
        // Files come sorted, so a folder is mostly created once for all its files.
        if (parent != madeDirectory && !MakeDirectories(parent)) {
            return fail("cannot create " + DisplayPath(parent));
        }
        madeDirectory = parent;
        if (!CopyInto(request.releaseDir / file.relativePath, target, buffer)) {
            return fail("cannot copy " + file.listedPath);
        }
        if (isMain) continue;
        // Size and digest of the copy, so the list describes exactly what is served.
        uint64_t size = fs::file_size(target, code);
        std::string md5 = DigestOfFile(target);
        if (code || size == 0 || size > LARGEST_DIGESTED || md5.empty()) {
            return fail("refused: " + file.listedPath + " changed while it was published");
        }
        list += file.listedPath + "=" + md5 + "=" + std::to_string(size) + "\r\n";
        totalBytes += size;
        ++listed;
    }
    fs::path stagedList = stagedDir / "comm" / "file.lst";
    if (!WriteFileThrough(stagedList, list)) return fail("cannot write " + DisplayPath(stagedList));
    std::string listMd5 = DigestOfFile(stagedList);
    if (signing && !SignInto(key, stagedList, WithSuffix(stagedList, SIGNATURE_SUFFIX))) {
        return fail("cannot sign the file list");
    }

    fs::path stagedMain = staging / "veldra.exe.new";
    if (!CopyInto(mainSource, stagedMain, buffer)) {
        return fail("cannot copy veldra.exe");
    }
    std::string mainMd5 = DigestOfFile(stagedMain);
    if (mainMd5.empty()) return fail("refused: veldra.exe is empty");
    fs::path stagedMainSignature = staging / "veldra.exe.sig.new";
    if (signing) {
        // A shared directory is swapped in whole: its program arrives with its signature.
        if (!SignInto(key, stagedMain, stagedMainSignature) ||
            (sharedDirectory &&
             !CopyInto(stagedMainSignature, WithSuffix(stagedDir / MAIN_PROGRAM, SIGNATURE_SUFFIX),
                       buffer))) {
            return fail("cannot sign veldra.exe");
        }
    }

    // A signature left beside a file it does not sign protects nothing.
    fs::path listSignature = WithSuffix(finalDir / "comm" / "file.lst", SIGNATURE_SUFFIX);
    fs::path mainTarget = updateRoot / version.majorDirectory / MAIN_PROGRAM;
    fs::path mainSignature = WithSuffix(mainTarget, SIGNATURE_SUFFIX);
    std::string unsignedOver;
    if (!signing && Exists(listSignature)) {
        unsignedOver = "update\\" + version.versionDirectory + "\\comm\\file.lst.sig";
    }
    if (!signing && Exists(mainSignature)) {
        unsignedOver += (unsignedOver.empty() ? "" : " and ") + std::string("update\\") +
                        version.majorDirectory + "\\veldra.exe.sig";
    }

    // Tree into place, then the rest; the old tree is removed with the staging folder.
    if (!MakeDirectories(updateRoot)) return fail("cannot create " + DisplayPath(updateRoot));
    if (!SwapFolderIn(stagedDir, finalDir, oldDir)) {
        return fail("cannot move the new tree to " + DisplayPath(finalDir));
    }
    if (!MakeDirectories(mainTarget.parent_path()) || !RenameOver(stagedMain, mainTarget)) {
        return fail("cannot write " + DisplayPath(mainTarget));
    }
    if (signing ? !RenameOver(stagedMainSignature, mainSignature) : !RemoveFile(mainSignature)) {
        // The previous program's signature must not stay beside the new one.
        RemoveFile(mainSignature);
        return fail("cannot write " + DisplayPath(mainSignature));
    }
    if (!request.packagePath.empty() &&
        !PlaceCopy(request.packagePath, staging / "veldrazip.exe.new",
                   updateRoot / "last" / "veldrazip.exe", buffer)) {
        return fail("cannot write update\\last\\veldrazip.exe");
    }
    fs::path stagedRecord = staging / "record.new";
    if (!MakeDirectories(recordDir) || !WriteFileThrough(stagedRecord, request.versionText) ||
        !RenameOver(stagedRecord, recordPath)) {
        return fail("cannot write " + DisplayPath(recordPath));
    }

    // Replies last: a client that reads one finds the list it names.
    int status = request.force ? STATUS_FORCED : STATUS_NEW_VERSION;
    std::string body = ReplyBody(status, version.lastVer, mainMd5, listMd5);
    fs::path replyDir = out / "index3.php" / "Ver2Control" / "0" / "0";
    if (!MakeDirectories(replyDir)) return fail("cannot create " + DisplayPath(replyDir));
    for (const char* digit : {"0", "1"}) {
        fs::path stagedReply = staging / "reply.new";
        if (!WriteFileThrough(stagedReply, body) || !RenameOver(stagedReply, replyDir / digit)) {
            return fail("cannot write reply " + DisplayPath(replyDir / digit));
        }
    }
    RemoveAll(staging);

    report = "published " + request.versionText + " as update\\" + version.versionDirectory + ": " +
             std::to_string(listed) + " files, " + std::to_string(totalBytes) + " bytes, list " +
             listMd5 + "\nmain program update\\" + version.majorDirectory + "\\veldra.exe (" +
             mainMd5 + ")" +
             (request.packagePath.empty() ? "" : "\npackage update\\last\\veldrazip.exe");
    if (signing) {
        report += "\nsigned update\\" + version.versionDirectory + "\\comm\\file.lst and update\\" +
                  version.majorDirectory +
                  "\\veldra.exe (signatures beside them as .sig), key SHA-256 " + key.fingerprint;
    }
    if (!unsignedOver.empty()) {
        report += "\nnot signed: removed the previous release's " + unsignedOver +
                  "; updaters built with a release key take neither this list nor this program";
    }
    report += "\nreplies index3.php/Ver2Control/0/0/0 and /1: status " + std::to_string(status) +
              ", lastVer " + std::to_string(version.lastVer);
    return PUBLISH_OK;
}

int MakeKeyFiles(const fs::path& privateFile, const fs::path& publicFile, std::string& report) {
    if (FoldersOverlap(privateFile, publicFile)) {
        report = "refused: the private and the public key need two different files";
        return PUBLISH_REFUSED;
    }
    for (const fs::path* file : {&privateFile, &publicFile}) {
        if (Exists(*file)) {
            report = "refused: " + DisplayPath(*file) + " exists; keygen never overwrites a key";
            return PUBLISH_REFUSED;
        }
    }
    SigningKey key;
    std::string probe;
    if (!MakeSigningKey(key) || !SignBytes(key, KEY_PROBE, probe)) {
        report = "cannot make a key pair with the platform's cryptography";
        return PUBLISH_WRITE_FAILED;
    }
    if (!WriteNewFile(privateFile, key.privatePem, true)) {
        report = "cannot write " + DisplayPath(privateFile);
        return PUBLISH_WRITE_FAILED;
    }
    if (!WriteNewFile(publicFile, key.publicPem, false)) {
        RemoveFile(privateFile);
        report = "cannot write " + DisplayPath(publicFile);
        return PUBLISH_WRITE_FAILED;
    }
    report = "made a P-256 key pair, key SHA-256 " + key.fingerprint + "\nprivate key " +
             DisplayPath(privateFile) +
             " (owner only): for --sign where releases are made; it never goes to the server"
             "\npublic key " +
             DisplayPath(publicFile) + ": for updater builds (VELDRA_RELEASE_PUBLIC_KEY)";
    return PUBLISH_OK;
}
