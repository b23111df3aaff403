#include "tools/publish/publish.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "support/md5.h"
#include "support/unique_handle.h"

namespace {

constexpr uint64_t FOUR_GIB = 0x100000000ull;
constexpr int STATUS_NEW_VERSION = 3431;
constexpr int STATUS_FORCED = 3432;
constexpr wchar_t MAIN_PROGRAM[] = L"veldra.exe";
constexpr wchar_t LIST_PATH[] = L"comm\\file.lst";
// Names the updater runs under: a listed path holding one is never fetched.
const wchar_t* const UPDATER_NAMES[] = {L"veldraupdate.exe", L"Veldra\u5347\u7EA7.exe"};

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

bool ContainsAsciiNoCase(const std::wstring& text, const std::wstring& pattern) {
    auto found = std::search(text.begin(), text.end(), pattern.begin(), pattern.end(),
                             [](wchar_t a, wchar_t b) { return AsciiLower(a) == AsciiLower(b); });
    return found != text.end();
}

bool EqualsAsciiNoCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && ContainsAsciiNoCase(a, b);
}

bool IsDigits(const std::wstring& text) {
    if (text.empty() || text.size() > 6) return false;
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::wstring Printed(double value) {
    wchar_t buffer[64] = {};
    _snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"%.1f", value);
    return buffer;
}

std::wstring WithSlash(const std::wstring& dir) {
    if (dir.empty() || dir.back() == L'\\' || dir.back() == L'/') return dir;
    return dir + L"\\";
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectories(const std::wstring& dir) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(dir), error);
    return IsDirectory(dir);
}

void RemoveAll(const std::wstring& path) {
    std::error_code error;
    std::filesystem::path root(path);
    if (std::filesystem::is_directory(root, error)) {
        for (auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(root, error);
}

bool SizeOf(const std::wstring& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                      &written, nullptr) ||
                           written != bytes.size())) {
        return false;
    }
    return FlushFileBuffers(file.get()) != FALSE;
}

std::string ReadSmallFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return std::string();
    char buffer[256] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) return std::string();
    return std::string(buffer, read);
}

// One rename. A server reading the target (or a file inside a folder) at that
// moment makes it fail, so it is tried again for a few seconds.
bool MoveRetrying(const std::wstring& source, const std::wstring& target, DWORD flags) {
    constexpr int ATTEMPTS = 100;
    constexpr DWORD PAUSE_MS = 50;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
        Sleep(PAUSE_MS);
    }
    return false;
}

// Puts source in place of target in one rename, replacing an existing file.
bool RenameOver(const std::wstring& source, const std::wstring& target) {
    return MoveRetrying(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// Copies into a staged file and renames it over target.
bool PlaceCopy(const std::wstring& source, const std::wstring& staged, const std::wstring& target) {
    if (!MakeDirectories(std::filesystem::path(target).parent_path().wstring())) return false;
    if (!CopyFileW(source.c_str(), staged.c_str(), FALSE)) return false;
    SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL);
    return RenameOver(staged, target);
}

void Walk(const std::wstring& root, const std::wstring& relativeDir,
          std::vector<ReleaseFile>& files, std::vector<std::wstring>& problems) {
    WIN32_FIND_DATAW found = {};
    std::wstring pattern = root + relativeDir + L"*";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring relative = relativeDir + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            // A linked folder could lead back into the release or out of it.
            problems.push_back(L"linked folder (not followed): " + relative);
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Walk(root, relative + L"\\", files, problems);
            continue;
        }
        ReleaseFile file;
        file.relativePath = relative;
        file.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        files.push_back(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::wstring Describe(const std::vector<std::wstring>& problems) {
    std::wstring text;
    for (const auto& problem : problems) text += problem + L"\n";
    return text;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetFullPathNameW(path.c_str(), _countof(buffer), buffer, nullptr);
    if (length == 0 || length >= _countof(buffer)) return WithSlash(path);
    return WithSlash(buffer);
}

// Either folder inside the other would publish the output into itself.
bool Overlap(const std::wstring& first, const std::wstring& second) {
    std::wstring a = FullPath(first);
    std::wstring b = FullPath(second);
    size_t shorter = std::min(a.size(), b.size());
    return EqualsAsciiNoCase(a.substr(0, shorter), b.substr(0, shorter));
}

}  // namespace

float ServerVersionOf(int lastVer) {
    // The updater's own conversion: single-precision quotients.
    if (lastVer > 1000) return static_cast<float>(lastVer) / 1000.0f;
    if (lastVer > 100) return static_cast<float>(lastVer) / 100.0f;
    return 0.0f;
}

std::wstring VersionDirectoryOf(float serverVersion) {
    float tenths = serverVersion * 10.0f;
    int whole = static_cast<int>(tenths);
    float cut = static_cast<float>(whole) / 10.0f;
    return Printed(static_cast<double>(cut));
}

std::wstring MajorDirectoryOf(float serverVersion) {
    int tenths = static_cast<int>(static_cast<double>(serverVersion) * 10.0);
    return Printed(static_cast<double>(tenths / 10));
}

bool ParseReleaseVersion(const std::wstring& text, ReleaseVersion& version, std::wstring& error) {
    std::vector<std::wstring> pieces(1);
    for (wchar_t c : text) {
        if (c == L'.') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    if (pieces.size() != 3 || !IsDigits(pieces[0]) || !IsDigits(pieces[1]) ||
        !IsDigits(pieces[2])) {
        error = L"version \"" + text + L"\" is not of the form X.Y.Z (decimal digits)";
        return false;
    }
    version.major = std::stoi(pieces[0]);
    version.minor = std::stoi(pieces[1]);
    version.build = std::stoi(pieces[2]);
    if (version.minor > 99) {
        error =
            L"version \"" + text + L"\": the second number counts hundredths and must be below 100";
        return false;
    }
    // The reply carries the version times 100, or times 1000 above 1000.
    int hundredfold = version.major * 100 + version.minor;
    int thousandfold = version.major * 1000 + version.minor * 10;
    if (hundredfold > 100 && hundredfold <= 1000) {
        version.lastVer = hundredfold;
    } else if (thousandfold > 1000 && version.major <= 2000000) {
        version.lastVer = thousandfold;
    } else {
        error = L"version \"" + text +
                L"\" cannot be announced: the updater reads versions up to 1.0 as none";
        return false;
    }
    float serverVersion = ServerVersionOf(version.lastVer);
    version.versionDirectory = VersionDirectoryOf(serverVersion);
    version.majorDirectory = MajorDirectoryOf(serverVersion);
    return true;
}

bool ToListUtf8(const std::wstring& text, std::string& utf8) {
    utf8.clear();
    if (text.empty()) return true;
    int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                     static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return false;
    utf8.resize(static_cast<size_t>(length));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                               static_cast<int>(text.size()), &utf8[0], length, nullptr,
                               nullptr) == length;
}

bool ScanRelease(const std::wstring& releaseDir, std::vector<ReleaseFile>& files,
                 std::wstring& error) {
    std::wstring root = WithSlash(releaseDir);
    if (!IsDirectory(root)) {
        error = L"release folder " + releaseDir + L" does not exist";
        return false;
    }
    std::vector<std::wstring> problems;
    files.clear();
    Walk(root, L"", files, problems);
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
        return a.relativePath < b.relativePath;
    });
    bool hasMainProgram = false;
    for (const auto& file : files) {
        const std::wstring& path = file.relativePath;
        if (EqualsAsciiNoCase(path, MAIN_PROGRAM)) hasMainProgram = true;
        if (file.size == 0) problems.push_back(L"empty file (the updater skips size 0): " + path);
        if (file.size >= FOUR_GIB) problems.push_back(L"file of 4 GiB or more: " + path);
        if (path.find(L'=') != std::wstring::npos) {
            problems.push_back(L"path holds \"=\", the list's separator: " + path);
        }
        for (const wchar_t* name : UPDATER_NAMES) {
            if (ContainsAsciiNoCase(path, name)) {
                problems.push_back(L"path holds the updater's own name " + std::wstring(name) +
                                   L" (never fetched): " + path);
            }
        }
        if (EqualsAsciiNoCase(path, LIST_PATH)) {
            problems.push_back(L"path is the updater's own file list: " + path);
        }
        std::string utf8;
        if (!ToListUtf8(path, utf8)) problems.push_back(L"path has no UTF-8 form: " + path);
    }
    if (!hasMainProgram) problems.push_back(L"the release has no veldra.exe at its top");
    if (!problems.empty()) {
        error = Describe(problems);
        return false;
    }
    return true;
}

std::string ReplyBody(int status, int lastVer, const std::string& mainProgramMd5,
                      const std::string& listMd5) {
    char buffer[256] = {};
    _snprintf_s(buffer, sizeof(buffer), _TRUNCATE,
                "{\"status\":%d,\"lastVer\":%d,\"newmd5\":\"%s\",\"skinmd5\":\"%s\"}\n", status,
                lastVer, mainProgramMd5.c_str(), listMd5.c_str());
    return buffer;
}

int Publish(const PublishRequest& request, std::wstring& report) {
    ReleaseVersion version;
    std::wstring error;
    if (!ParseReleaseVersion(request.versionText, version, error)) {
        report = L"refused: " + error;
        return PUBLISH_REFUSED;
    }
    if (Overlap(request.releaseDir, request.outputDir)) {
        report = L"refused: the output folder and the release folder must not lie one in the other";
        return PUBLISH_REFUSED;
    }
    std::vector<ReleaseFile> files;
    if (!ScanRelease(request.releaseDir, files, error)) {
        report = L"refused:\n" + error;
        return PUBLISH_REFUSED;
    }
    uint64_t packageSize = 0;
    if (!request.packagePath.empty() && (!SizeOf(request.packagePath, packageSize) ||
                                         packageSize == 0 || IsDirectory(request.packagePath))) {
        report = L"refused: package " + request.packagePath + L" is missing or empty";
        return PUBLISH_REFUSED;
    }

    std::wstring releaseRoot = WithSlash(request.releaseDir);
    std::wstring out = WithSlash(request.outputDir);
    std::wstring updateRoot = out + L"update\\";
    std::wstring finalDir = updateRoot + version.versionDirectory;
    std::wstring recordDir = out + L"published\\";
    std::wstring recordPath = recordDir + version.versionDirectory + L".txt";
    std::wstring staging = out + L".staging\\";
    std::wstring stagedDir = staging + version.versionDirectory;
    std::wstring oldDir = staging + version.versionDirectory + L".old";

    if (!MakeDirectories(out)) {
        report = L"cannot create output folder " + request.outputDir;
        return PUBLISH_WRITE_FAILED;
    }
    // One publisher per output folder at a time.
    std::wstring lockPath = out + L".publish.lock";
    UniqueHandle lock(CreateFileW(lockPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!lock.valid()) {
        report = L"another publisher is writing " + request.outputDir;
        return PUBLISH_WRITE_FAILED;
    }

    std::string recorded = ReadSmallFile(recordPath);
    std::string versionUtf8;
    ToListUtf8(request.versionText, versionUtf8);
    if (Exists(finalDir) && recorded != versionUtf8 && !request.replace) {
        std::wstring held = recorded.empty()
                                ? L"an unrecorded version"
                                : L"version " + std::wstring(recorded.begin(), recorded.end());
        report = L"refused: update\\" + version.versionDirectory + L" already holds " + held +
                 L"; " + request.versionText +
                 L" is served from the same directory. Run again with --replace to replace it.";
        return PUBLISH_REFUSED;
    }

    // Staged tree: every file but the main program, then the list.
    RemoveAll(staging);
    if (!MakeDirectories(stagedDir + L"\\comm")) {
        report = L"cannot create " + staging;
        return PUBLISH_WRITE_FAILED;
    }
    auto fail = [&](const std::wstring& message) {
        RemoveAll(staging);
        report = message;
        return PUBLISH_WRITE_FAILED;
    };
    bool sharedDirectory = version.versionDirectory == version.majorDirectory;
    std::string list;
    uint64_t totalBytes = 0;
    size_t listed = 0;
    std::wstring madeDirectory;
    for (const auto& file : files) {
        bool isMain = EqualsAsciiNoCase(file.relativePath, MAIN_PROGRAM);
        // The main program arrives by its own path, which waits for a running product.
        if (isMain && !sharedDirectory) continue;
        std::wstring target = stagedDir + L"\\" + file.relativePath;
        std::wstring parent = std::filesystem::path(target).parent_path().wstring();
        // Files come sorted, so a folder is created once for all its files.
        if (parent != madeDirectory && !MakeDirectories(parent)) {
            return fail(L"cannot create " + parent);
        }
        madeDirectory = parent;
        if (!CopyFileW((releaseRoot + file.relativePath).c_str(), target.c_str(), FALSE)) {
            return fail(L"cannot copy " + file.relativePath);
        }
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (isMain) continue;
        // Size and digest of the copy, so the list describes exactly what is served.
        uint64_t size = 0;
        std::string md5 = Md5OfFile(target);
        if (!SizeOf(target, size) || size == 0 || size >= FOUR_GIB || md5.empty()) {
            return fail(L"refused: " + file.relativePath + L" changed while it was published");
        }
        std::string path;
        ToListUtf8(file.relativePath, path);
        list += path + "=" + md5 + "=" + std::to_string(size) + "\r\n";
        totalBytes += size;
        ++listed;
    }
    std::wstring stagedList = stagedDir + L"\\" + LIST_PATH;
    if (!WriteFileBytes(stagedList, list)) return fail(L"cannot write " + stagedList);
    std::string listMd5 = Md5OfFile(stagedList);

    std::wstring stagedMain = staging + L"veldra.exe.new";
    if (!CopyFileW((releaseRoot + MAIN_PROGRAM).c_str(), stagedMain.c_str(), FALSE)) {
        return fail(L"cannot copy veldra.exe");
    }
    SetFileAttributesW(stagedMain.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::string mainMd5 = Md5OfFile(stagedMain);
    if (mainMd5.empty()) return fail(L"refused: veldra.exe is empty");

    // Tree into place: the old directory aside, the new one in, the old one gone.
    if (!MakeDirectories(updateRoot)) return fail(L"cannot create " + updateRoot);
    bool hadOld = Exists(finalDir);
    if (hadOld && !MoveRetrying(finalDir, oldDir, 0)) {
        return fail(L"cannot move the old " + finalDir + L" aside");
    }
    if (!MoveRetrying(stagedDir, finalDir, 0)) {
        if (hadOld) MoveRetrying(oldDir, finalDir, 0);
        return fail(L"cannot move the new tree to " + finalDir);
    }
    if (hadOld) RemoveAll(oldDir);

    std::wstring mainTarget = updateRoot + version.majorDirectory + L"\\" + MAIN_PROGRAM;
    if (!MakeDirectories(updateRoot + version.majorDirectory) ||
        !RenameOver(stagedMain, mainTarget)) {
        return fail(L"cannot write " + mainTarget);
    }
    if (!request.packagePath.empty() &&
        !PlaceCopy(request.packagePath, staging + L"veldrazip.exe.new",
                   updateRoot + L"last\\veldrazip.exe")) {
        return fail(L"cannot write update\\last\\veldrazip.exe");
    }
    std::wstring stagedRecord = staging + L"record.new";
    if (!MakeDirectories(recordDir) || !WriteFileBytes(stagedRecord, versionUtf8) ||
        !RenameOver(stagedRecord, recordPath)) {
        return fail(L"cannot write " + recordPath);
    }

    // Replies last: a client that reads one finds the list it names.
    int status = request.force ? STATUS_FORCED : STATUS_NEW_VERSION;
    std::string body = ReplyBody(status, version.lastVer, mainMd5, listMd5);
    std::wstring replyDir = out + L"index3.php\\Ver2Control\\0\\0\\";
    if (!MakeDirectories(replyDir)) return fail(L"cannot create " + replyDir);
    for (const wchar_t* digit : {L"0", L"1"}) {
        std::wstring stagedReply = staging + L"reply.new";
        if (!WriteFileBytes(stagedReply, body) || !RenameOver(stagedReply, replyDir + digit)) {
            return fail(L"cannot write reply " + replyDir + digit + L" (error " +
                        std::to_wstring(GetLastError()) + L")");
        }
    }
    RemoveAll(staging);

    wchar_t summary[512] = {};
    _snwprintf_s(summary, _countof(summary), _TRUNCATE,
                 L"published %s as update\\%s: %u files, %llu bytes, list %S\n"
                 L"main program update\\%s\\veldra.exe (%S)%s\n"
                 L"replies index3.php/Ver2Control/0/0/0 and /1: status %d, lastVer %d",
                 request.versionText.c_str(), version.versionDirectory.c_str(),
                 static_cast<unsigned>(listed), static_cast<unsigned long long>(totalBytes),
                 listMd5.c_str(), version.majorDirectory.c_str(), mainMd5.c_str(),
                 request.packagePath.empty() ? L"" : L"\npackage update\\last\\veldrazip.exe",
                 status, version.lastVer);
    report = summary;
    return PUBLISH_OK;
}
