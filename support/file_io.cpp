#include "support/file_io.h"

#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <system_error>

#include "support/owned_files.h"
#include "support/paths.h"
#include "support/unique_handle.h"

namespace {

constexpr char TEXT_END_OF_FILE = 0x1A;

// Hands a finished line on the way the line reader would: one leading CR or
// LF dropped, cut at the first NUL. The line's buffer is the caller's to reuse.
void DeliverLine(std::string& line, const std::function<void(const std::string&)>& visit) {
    size_t start = 0;
    if (!line.empty() && (line[0] == '\r' || line[0] == '\n')) start = 1;
    const size_t nul = line.find('\0', start);
    if (nul != std::string::npos) line.resize(nul);
    if (start > 0) line.erase(0, start);
    visit(line);
}

unsigned long long Ticks(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

bool ReadLines(const std::wstring& path, std::vector<std::string>& lines) {
    return ForEachLine(path, [&lines](const std::string& line) { lines.push_back(line); });
}

bool ForEachLine(const std::wstring& path, const std::function<void(const std::string&)>& visit) {
    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0) != 0) return false;
    UniqueFd file(fd);

    // Text-mode reading done here on raw bytes, so it behaves the same on every
    // runtime: CR LF is one line end, a lone CR stays, 0x1A ends the file.
    std::string line;
    bool pendingCr = false;
    bool ended = false;
    char buffer[16384];
    while (!ended) {
        const int got = _read(file.get(), buffer, static_cast<unsigned>(sizeof(buffer)));
        if (got <= 0) break;
        for (int i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == TEXT_END_OF_FILE) {
                ended = true;
                break;
            }
            if (pendingCr) {
                pendingCr = false;
                if (c == '\n') {
                    DeliverLine(line, visit);
                    line.clear();
                    continue;
                }
                line.push_back('\r');
            }
            if (c == '\r') {
                pendingCr = true;
            } else if (c == '\n') {
                DeliverLine(line, visit);
                line.clear();
            } else {
                line.push_back(c);
            }
        }
    }
    if (pendingCr) line.push_back('\r');
    if (!line.empty()) DeliverLine(line, visit);
    return true;
}

int ReadWholeFile(const std::wstring& path, std::string& bytes) {
    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR, 0) != 0) return 0;
    UniqueFd file(fd);
    const long long length = _filelengthi64(file.get());
    // The count travels as an int: a file it cannot express is not read at all.
    if (length <= 0 || length > INT_MAX) {
        if (length == 0) bytes.clear();
        return 0;
    }
    bytes.assign(static_cast<size_t>(length), '\0');
    _lseeki64(file.get(), 0, SEEK_SET);
    int total = 0;
    while (total < length) {
        const int got = _read(file.get(), &bytes[static_cast<size_t>(total)],
                              static_cast<unsigned>(length - total));
        if (got <= 0) break;
        total += got;
    }
    return total;
}

bool ReadFileStamp(const std::wstring& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    stamp.size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite = Ticks(data.ftLastWriteTime);
    return true;
}

MeasuredFile MeasureAndRead(const std::wstring& path, unsigned long wantedSize,
                            std::string& buffer) {
    MeasuredFile found;
    if (path.empty()) return found;
    // A link is measured through, but a missing target is never created: only
    // where nothing at all lies (no link either) is a file made.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
        file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    }
    if (!file.valid()) return found;
    found.opened = true;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) return found;
    found.lowSize = static_cast<DWORD>(size.QuadPart);
    if (found.lowSize != wantedSize || size.QuadPart <= 0 || size.QuadPart > INT_MAX) return found;

    const size_t length = static_cast<size_t>(size.QuadPart);
    // Grown only: the bytes past this file's length are simply not looked at.
    if (buffer.size() < length) buffer.resize(length);
    size_t total = 0;
    while (total < length) {
        DWORD got = 0;
        if (!ReadFile(file.get(), &buffer[total], static_cast<DWORD>(length - total), &got,
                      nullptr) ||
            got == 0) {
            break;
        }
        total += got;
    }
    found.bytesRead = static_cast<int>(total);
    FILETIME lastWrite = {};
    GetFileTime(file.get(), nullptr, nullptr, &lastWrite);
    found.stamp.size = static_cast<unsigned long long>(size.QuadPart);
    found.stamp.lastWrite = Ticks(lastWrite);
    return found;
}

namespace {

void CreateParentFolders(const std::wstring& path) {
    std::wstring directory = DirectoryOf(path.c_str());
    // A path without any separator lives in the current folder: nothing to create
    // (otherwise the file's own name would become a folder).
    if (directory != path) {
        if (directory.find(L'.') != std::wstring::npos) {
            const size_t cut = directory.find_last_of(L"\\/");
            if (cut != std::wstring::npos) directory.erase(cut);
        }
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(directory), ignored);
    }
}

void Record(ReplaceSteps* steps, ReplaceStep step) {
    if (steps) steps->push_back(step);
}

// A staging name beside path; in the long form where the name would take the
// path past what the plain form holds.
std::wstring StagingPathBeside(const std::wstring& path) {
    const std::wstring staging =
        DirectoryOf(path.c_str()) + OwnedFileName(STAGING_PREFIX, STAGING_SUFFIX);
    if (staging.size() < MAX_PATH || staging.rfind(L"\\\\", 0) == 0) return staging;
    const DWORD needed = GetFullPathNameW(staging.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return staging;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(staging.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return staging;
    full.resize(length);
    return L"\\\\?\\" + full;
}

bool WriteFlushed(const std::wstring& path, const char* bytes, size_t length, ReplaceSteps* steps) {
    // CREATE_NEW: a staging name is this call's alone.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    constexpr size_t PIECE = 1u << 30;
    size_t done = 0;
    while (done < length) {
        const DWORD piece = static_cast<DWORD>(length - done < PIECE ? length - done : PIECE);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes + done, piece, &written, nullptr) || written != piece) {
            return false;
        }
        done += written;
    }
    Record(steps, ReplaceStep::Written);
    if (!FlushFileBuffers(file.get())) return false;
    Record(steps, ReplaceStep::Flushed);
    return true;
}

void RemoveStaging(const std::wstring& stagingPath) {
    SetFileAttributesW(stagingPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(stagingPath.c_str());
}

// Creates path's missing parent folders; false when path may not be replaced:
// a folder, or a file marked read-only. Checked here: a rename does not heed
// the mark where the caller is privileged enough (Wine run by root), and the
// mark must still refuse.
bool MayReplace(const std::wstring& path) {
    CreateParentFolders(path);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ||
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

bool RenameStagedOver(const std::wstring& stagingPath, const std::wstring& path,
                      ReplaceSteps* steps) {
    if (MoveFileExW(stagingPath.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Record(steps, ReplaceStep::Replaced);
        return true;
    }
    RemoveStaging(stagingPath);
    return false;
}

// On disk before the rename can be: a rename that outlives a power cut must
// not name a file whose bytes did not.
bool FlushFile(const std::wstring& path, ReplaceSteps* steps) {
    // Shared: a scanner that looks at a fresh download must not stop the flush.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || !FlushFileBuffers(file.get())) return false;
    Record(steps, ReplaceStep::Flushed);
    return true;
}

bool CopyFlushed(const std::wstring& sourcePath, const std::wstring& path, ReplaceSteps* steps) {
    UniqueHandle source(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source.valid() || !file.valid()) return false;
    std::vector<char> buffer(1u << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                      nullptr)) {
            return false;
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data(), got, &written, nullptr) || written != got) {
            return false;
        }
    }
    Record(steps, ReplaceStep::Copied);
    if (!FlushFileBuffers(file.get())) return false;
    Record(steps, ReplaceStep::Flushed);
    return true;
}

// Whether the folder a file is renamed into makes it end as a file made
// there would. Decided on that folder itself: its parent's rules may differ.
bool FolderPassesAccessOn(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool passes = PassesAccessToFiles(descriptor);
    LocalFree(descriptor);
    return passes;
}

// A file renamed in from another folder keeps that folder's access rules (the
// user's temp folder admits its owner alone); an empty, unprotected list makes
// it take the rules of the folder it now lies in, as a file created there does.
bool TakeFolderAccess(const std::wstring& path) {
    ACL empty = {};
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION)) return false;
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool PassesAccessToFiles(void* folderDescriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    if (folderDescriptor == nullptr ||
        !GetSecurityDescriptorDacl(folderDescriptor, &present, &list, &defaulted) || !present ||
        list == nullptr) {
        // No list at all: a file made there takes its maker's defaults.
        return false;
    }
    for (DWORD i = 0; i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (GetAce(list, i, &entry) &&
            (static_cast<ACE_HEADER*>(entry)->AceFlags & OBJECT_INHERIT_ACE) != 0) {
            return true;
        }
    }
    return false;
}

bool ReplaceWithBytes(const std::wstring& path, const char* bytes, size_t length,
                      ReplaceSteps* steps) {
    if (!MayReplace(path)) return false;
    const std::wstring stagingPath = StagingPathBeside(path);
    if (!WriteFlushed(stagingPath, bytes, length, steps)) {
        RemoveStaging(stagingPath);
        return false;
    }
    return RenameStagedOver(stagingPath, path, steps);
}

bool ReplaceWithFile(const std::wstring& path, const std::wstring& sourcePath,
                     ReplaceSteps* steps) {
    if (!MayReplace(path)) return false;
    const std::wstring stagingPath = StagingPathBeside(path);
    // Same volume: the file itself is renamed in, its bytes never written twice.
    bool staged = FolderPassesAccessOn(DirectoryOf(path.c_str())) && FlushFile(sourcePath, steps) &&
                  MoveFileExW(sourcePath.c_str(), stagingPath.c_str(), 0);
    if (staged) Record(steps, ReplaceStep::Renamed);
    // Marks the fetch left on it (a hidden or temporary file's) are not the product's.
    if (staged) SetFileAttributesW(stagingPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (staged && !TakeFolderAccess(stagingPath)) {
        // Kept as it is, it would keep the access of the folder it came from.
        MoveFileExW(stagingPath.c_str(), sourcePath.c_str(), 0);
        staged = false;
    }
    if (!staged && !CopyFlushed(sourcePath, stagingPath, steps)) {
        RemoveStaging(stagingPath);
        return false;
    }
    return RenameStagedOver(stagingPath, path, steps);
}

bool PrepareDestination(const std::wstring& path) {
    CreateParentFolders(path);

    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _SH_DENYWR,
                  _S_IREAD | _S_IWRITE) != 0) {
        return false;
    }
    UniqueFd(fd).reset();
    std::filesystem::resize_file(std::filesystem::path(path), 0);
    return true;
}
