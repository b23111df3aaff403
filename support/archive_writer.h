// Writer for password-protected archives in the ZIP layout with this
// program's own record signatures (0x0B 0x32 instead of "PK").
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t ARCHIVE_OK = 0;
constexpr uint32_t ARCHIVE_CREATE_FAILED = 0x200;
constexpr uint32_t ARCHIVE_WRITE_FAILED = 0x400;
constexpr uint32_t ARCHIVE_BAD_ARGUMENT = 0x10000;
constexpr uint32_t ARCHIVE_NOT_A_WRITER = 0x80000;

// The kind tag of a handle made by CreateArchive.
constexpr uint32_t ARCHIVE_KIND_WRITER = 2;

struct ArchiveWriterState;

// Handles carry a kind tag so that a foreign handle is refused, not misused.
struct ArchiveHandle {
    uint32_t kind = 0;
    ArchiveWriterState* state = nullptr;
};

// The outcome of the last CreateArchive or CloseArchive, program-wide.
extern uint32_t LastArchiveError;

// Creates (replaces) the file; password null or empty for none. Null on failure.
ArchiveHandle* CreateArchive(const wchar_t* path, const char* password);
uint32_t AddArchiveEntry(ArchiveHandle* archive, const wchar_t* name, const void* data,
                         size_t length);
// Writes the central directory and the end record, closes and releases.
uint32_t CloseArchive(ArchiveHandle* archive);
