// Whole-file reads, line reads and preparing a file to be written.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Text-mode lines (CR LF reads as LF, 0x1A ends the file); one leading CR or LF
// of a line is dropped and a line is cut at its first NUL. False when the file
// cannot be opened, and then lines is unchanged.
bool ReadLines(const std::wstring& path, std::vector<std::string>& lines);

// ReadLines one line at a time: visit sees each line as ReadLines would list
// it, in a buffer reused from line to line, so memory does not grow with the
// count of lines. False when the file cannot be opened.
bool ForEachLine(const std::wstring& path, const std::function<void(const std::string&)>& visit);

// Reads the whole file in binary, denying other writers. Returns the bytes
// read; 0 when it cannot be opened (bytes unchanged) or is empty.
int ReadWholeFile(const std::wstring& path, std::string& bytes);

// Size and last-write time of a file: while both stay the same, the file has
// not been written.
struct FileStamp {
    unsigned long long size = 0;
    unsigned long long lastWrite = 0;  // 100 ns ticks, as in FILETIME
};
inline bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.size == b.size && a.lastWrite == b.lastWrite;
}

// The stamp of path, read without opening the file; false when there is none.
bool ReadFileStamp(const std::wstring& path, FileStamp& stamp);

// What one open of a file for its size and content found.
struct MeasuredFile {
    bool opened = false;
    unsigned long lowSize = 0;  // low 32 bits of the size; 0 when not opened
    int bytesRead = 0;          // content bytes at the front of the buffer
    FileStamp stamp;            // when the content was read
};

// Opens path once for both its size and its content: read access, others may
// read but not write, and a missing file whose folder exists is created empty.
// Only when the low 32 bits of the size equal wantedSize is the content read,
// whole and in one piece, to the front of buffer, which callers reuse from file
// to file (it only grows). A file too large for an int count is not read.
MeasuredFile MeasureAndRead(const std::wstring& path, unsigned long wantedSize,
                            std::string& buffer);

// Staging files are named STAGING_PREFIX + owner + STAGING_SUFFIX
// (OwnedFileName), beside the file they replace: the same volume, the same
// folder's access rules, and a name no other process takes.
constexpr wchar_t STAGING_PREFIX[] = L"~tmp.";
constexpr wchar_t STAGING_SUFFIX[] = L".new";
// The one name earlier updaters staged under, at the top of the product folder.
constexpr wchar_t STAGING_FILE_NAME[] = L"~tmp.new";

// The steps of a replacement, in the order they were taken; for callers that
// must see the order (a rename must never come before the flush it relies on).
enum class ReplaceStep { Written, Flushed, Renamed, Copied, Replaced };
using ReplaceSteps = std::vector<ReplaceStep>;

// Puts length bytes at path by replacement: they are written to a staging
// file beside path, flushed, and then renamed over path in one step, so a
// process ended at any instant leaves path holding its old bytes or the new
// ones, whole, never a mix. Missing parent folders of path are created. False,
// with path as it was and no staging file left, when path is a folder, is
// marked read-only, is held open by another process without delete sharing,
// or cannot be written.
bool ReplaceWithBytes(const std::wstring& path, const char* bytes, size_t length,
                      ReplaceSteps* steps = nullptr);

// ReplaceWithBytes for bytes that already lie in the file sourcePath: on
// path's volume, and where path's folder passes its access rules on to the
// files made in it, that file itself is renamed in and takes those rules as
// a file made there would; else its bytes are copied. False, with path as it
// was, in the same cases as ReplaceWithBytes. sourcePath may be gone
// afterwards; whatever is left of it is the caller's.
bool ReplaceWithFile(const std::wstring& path, const std::wstring& sourcePath,
                     ReplaceSteps* steps = nullptr);

// Whether a folder with this descriptor passes access rules on to the files
// made in it (an entry of its list is inherited by files): only then does a
// file renamed in and told to inherit end up as one made there would.
bool PassesAccessToFiles(void* folderDescriptor);

// Creates the missing parent directories, checks that the file can be opened
// for writing and truncates it. False when it cannot be opened; a failed
// truncation throws std::filesystem::filesystem_error.
bool PrepareDestination(const std::wstring& path);
