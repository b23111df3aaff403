// Whole-file reads, line reads and preparing a file to be written.
#pragma once

#include <string>
#include <vector>

// Text-mode lines (CR LF reads as LF, 0x1A ends the file); one leading CR or LF
// of a line is dropped and a line is cut at its first NUL. False when the file
// cannot be opened, and then lines is unchanged.
bool ReadLines(const std::wstring& path, std::vector<std::string>& lines);

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

// The one name a run stages a file under before it takes the place of another.
constexpr wchar_t STAGING_FILE_NAME[] = L"~tmp.new";

// Puts length bytes at path by replacement: they are written to stagingPath,
// flushed, and then renamed over path in one step, so a process ended at any
// instant leaves path holding its old bytes or the new ones, whole, never a
// mix. stagingPath must lie on path's volume; whatever it held is lost.
// Missing parent folders of path are created. False, with path as it was and
// no staging file left, when path is a folder, is marked read-only, is held
// open by another process without delete sharing, or cannot be written.
bool ReplaceWithBytes(const std::wstring& stagingPath, const std::wstring& path, const char* bytes,
                      size_t length);

// ReplaceWithBytes for bytes that already lie in the file sourcePath: on
// stagingPath's volume that file itself is renamed in (taking the access rules
// of its new folder, as a file created there would), else its bytes are
// copied. False, with path as it was, in the same cases as ReplaceWithBytes.
// sourcePath may be gone afterwards; whatever is left of it is the caller's.
bool ReplaceWithFile(const std::wstring& stagingPath, const std::wstring& path,
                     const std::wstring& sourcePath);

// Creates the missing parent directories, checks that the file can be opened
// for writing and truncates it. False when it cannot be opened; a failed
// truncation throws std::filesystem::filesystem_error.
bool PrepareDestination(const std::wstring& path);
