#include "support/archive_writer.h"

#include <windows.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/unique_handle.h"

uint32_t LastArchiveError = ARCHIVE_OK;

namespace {

constexpr uint16_t VERSION_MADE_BY = 0x0B17;
constexpr uint16_t VERSION_NEEDED = 20;

constexpr uint16_t FLAG_ENCRYPTED = 1;
constexpr uint16_t FLAG_MAXIMUM_COMPRESSION = 2;
constexpr uint16_t FLAG_DATA_DESCRIPTOR = 8;

constexpr uint16_t METHOD_STORED = 0;
constexpr uint16_t METHOD_DEFLATE = 8;
constexpr int DEFLATE_LEVEL = 8;
constexpr int DEFLATE_WINDOW_BITS = -15;  // negative: raw deflate, no zlib wrapper
constexpr int DEFLATE_MEMORY_LEVEL = 8;

constexpr uint32_t LOCAL_HEADER_SIZE = 30;
constexpr uint32_t CENTRAL_HEADER_SIZE = 46;
constexpr uint32_t END_RECORD_SIZE = 22;
constexpr uint32_t DESCRIPTOR_SIZE = 16;
constexpr uint32_t ENCRYPTION_HEADER_SIZE = 12;
constexpr uint16_t LOCAL_EXTRA_SIZE = 17;
constexpr uint16_t CENTRAL_EXTRA_SIZE = 9;

constexpr size_t MAX_NAME_UNITS = 259;
constexpr size_t MAX_NAME_BYTES = 260;
constexpr size_t OUTPUT_CHUNK = 16384;
constexpr size_t DEFLATE_INPUT_CHUNK = 65536;
// The headers hold 32-bit sizes and offsets and a 16-bit entry count.
constexpr uint64_t MAX_FIELD_VALUE = 0xFFFFFFFFu;
constexpr size_t MAX_ENTRIES = 0xFFFF;

// Seconds from 1601-01-01 (file time origin) to 1970-01-01, in 100 ns units.
constexpr uint64_t FILETIME_1970 = 116444736000000000ULL;

const char* const STORED_EXTENSIONS[] = {".Z",   ".zip", ".zoo", ".arc",
                                         ".lzh", ".arj", ".gz",  ".tgz"};

struct EntryRecord {
    uint16_t flags = 0;
    uint16_t method = METHOD_DEFLATE;
    uint32_t dosDateTime = 0;  // date in the high half, time in the low half
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t externalAttributes = 0x80000000u;
    uint32_t localHeaderOffset = 0;
    std::string name;  // UTF-8
    uint8_t localExtra[LOCAL_EXTRA_SIZE] = {};
    uint8_t centralExtra[CENTRAL_EXTRA_SIZE] = {};
};

struct DeflateEnd {
    void operator()(z_stream* stream) const {
        deflateEnd(stream);
        delete stream;
    }
};

// Little-endian record under construction.
class RecordBytes {
  public:
    void Put16(uint16_t value) {
        bytes_.push_back(static_cast<uint8_t>(value));
        bytes_.push_back(static_cast<uint8_t>(value >> 8));
    }
    void Put32(uint32_t value) {
        Put16(static_cast<uint16_t>(value));
        Put16(static_cast<uint16_t>(value >> 16));
    }
    void PutBytes(const void* data, size_t length) {
        const uint8_t* begin = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), begin, begin + length);
    }
    void PutSignature(uint8_t first, uint8_t second) {
        const uint8_t signature[4] = {0x0B, 0x32, first, second};
        PutBytes(signature, sizeof(signature));
    }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

struct ArchiveWriterState {
    UniqueHandle file;
    bool seekable = false;
    uint64_t archiveOffset = 0;
    uint64_t position = 0;
    bool centralDirectoryWritten = false;
    bool hasPassword = false;
    std::string password;
    uint32_t keys[3] = {};
    bool encrypting = false;
    std::vector<EntryRecord> entries;
    std::unique_ptr<z_stream, DeflateEnd> deflater;
};

namespace {

// Traditional PKWARE cipher.
uint32_t CrcByte(uint32_t crc, uint8_t byte) {
    return static_cast<uint32_t>(get_crc_table()[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
}

void UpdateKeys(uint32_t* keys, uint8_t plain) {
    keys[0] = CrcByte(keys[0], plain);
    keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
    keys[2] = CrcByte(keys[2], static_cast<uint8_t>(keys[1] >> 24));
}

uint8_t KeyStreamByte(const uint32_t* keys) {
    uint32_t temp = (keys[2] | 2) & 0xFFFF;
    return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

uint8_t EncryptByte(uint32_t* keys, uint8_t plain) {
    uint8_t mask = KeyStreamByte(keys);
    UpdateKeys(keys, plain);
    return static_cast<uint8_t>(plain ^ mask);
}

void InitKeys(uint32_t* keys, const std::string& password) {
    keys[0] = 0x12345678u;
    keys[1] = 0x23456789u;
    keys[2] = 0x34567890u;
    for (char c : password) UpdateKeys(keys, static_cast<uint8_t>(c));
}

bool WriteAll(HANDLE file, const void* data, size_t length) {
    const uint8_t* next = static_cast<const uint8_t*>(data);
    while (length > 0) {
        DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, next, piece, &written, nullptr) || written == 0) return false;
        next += written;
        length -= written;
    }
    return true;
}

// Writes unencrypted bytes at the current position and advances it.
bool WriteRecord(ArchiveWriterState& state, const void* data, size_t length) {
    if (!WriteAll(state.file.get(), data, length)) return false;
    state.position += length;
    return true;
}

// Writes entry data, encrypted when this entry is encrypted.
bool WriteEntryData(ArchiveWriterState& state, const uint8_t* data, size_t length) {
    if (!state.encrypting) return WriteRecord(state, data, length);
    uint8_t buffer[OUTPUT_CHUNK];
    while (length > 0) {
        size_t piece = length < sizeof(buffer) ? length : sizeof(buffer);
        for (size_t i = 0; i < piece; ++i) buffer[i] = EncryptByte(state.keys, data[i]);
        if (!WriteRecord(state, buffer, piece)) return false;
        data += piece;
        length -= piece;
    }
    return true;
}

RecordBytes LocalHeader(const EntryRecord& entry) {
    RecordBytes header;
    header.PutSignature(0x03, 0x04);
    header.Put16(VERSION_NEEDED);
    header.Put16(entry.flags);
    header.Put16(entry.method);
    header.Put32(entry.dosDateTime);  // time, then date
    header.Put32(entry.crc);
    header.Put32(entry.compressedSize);
    header.Put32(entry.uncompressedSize);
    header.Put16(static_cast<uint16_t>(entry.name.size()));
    header.Put16(LOCAL_EXTRA_SIZE);
    header.PutBytes(entry.name.data(), entry.name.size());
    header.PutBytes(entry.localExtra, LOCAL_EXTRA_SIZE);
    return header;
}

RecordBytes CentralHeader(const EntryRecord& entry) {
    RecordBytes header;
    header.PutSignature(0x01, 0x02);
    header.Put16(VERSION_MADE_BY);
    header.Put16(VERSION_NEEDED);
    header.Put16(entry.flags);
    header.Put16(entry.method);
    header.Put32(entry.dosDateTime);
    header.Put32(entry.crc);
    header.Put32(entry.compressedSize);
    header.Put32(entry.uncompressedSize);
    header.Put16(static_cast<uint16_t>(entry.name.size()));
    header.Put16(CENTRAL_EXTRA_SIZE);
    header.Put16(0);  // comment length
    header.Put16(0);  // disk number
    header.Put16(0);  // internal attributes
    header.Put32(entry.externalAttributes);
    header.Put32(entry.localHeaderOffset);
    header.PutBytes(entry.name.data(), entry.name.size());
    header.PutBytes(entry.centralExtra, CENTRAL_EXTRA_SIZE);
    return header;
}

void PutLittle32(uint8_t* target, uint32_t value) {
    for (int i = 0; i < 4; ++i) target[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Fills the DOS time and the extended-timestamp fields from the local time.
void StampEntry(EntryRecord& entry) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    uint32_t dosDate = (((now.wYear - 1980u) % 128u) << 9) | (now.wMonth << 5) | now.wDay;
    uint32_t dosTime = (now.wHour << 11) | (now.wMinute << 5) | (now.wSecond / 2u);
    entry.dosDateTime = (dosDate << 16) | dosTime;

    // The local time read as if it were UTC, as the field's readers expect.
    FILETIME asFileTime = {};
    SystemTimeToFileTime(&now, &asFileTime);
    uint64_t ticks =
        (static_cast<uint64_t>(asFileTime.dwHighDateTime) << 32) | asFileTime.dwLowDateTime;
    uint32_t seconds =
        ticks > FILETIME_1970 ? static_cast<uint32_t>((ticks - FILETIME_1970) / 10000000u) : 0;

    const uint8_t head[5] = {0x55, 0x54, 13, 0, 7};
    std::memcpy(entry.localExtra, head, sizeof(head));
    PutLittle32(entry.localExtra + 5, seconds);
    PutLittle32(entry.localExtra + 9, seconds);
    PutLittle32(entry.localExtra + 13, seconds);
    std::memcpy(entry.centralExtra, entry.localExtra, CENTRAL_EXTRA_SIZE);
    entry.centralExtra[2] = 5;
}

bool IsStoredExtension(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    std::wstring extension = name.substr(dot);
    for (const char* stored : STORED_EXTENSIONS) {
        std::wstring wide(stored, stored + std::strlen(stored));
        if (_wcsicmp(extension.c_str(), wide.c_str()) == 0) return true;
    }
    return false;
}

// UTF-8 of the name, cut at a character boundary to fit the name buffer.
std::string NameToUtf8(const std::wstring& name) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()),
                                     nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string utf8(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), &utf8[0], needed,
                        nullptr, nullptr);
    if (utf8.size() > MAX_NAME_BYTES) {
        size_t cut = MAX_NAME_BYTES;
        while (cut > 0 && (static_cast<uint8_t>(utf8[cut]) & 0xC0) == 0x80) --cut;
        utf8.resize(cut);
    }
    return utf8;
}

// Stored entries are copied in pieces; the CRC is taken on the way.
bool WriteStored(ArchiveWriterState& state, const uint8_t* data, size_t length, EntryRecord& entry,
                 uint64_t& written) {
    uint32_t crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    while (length > 0) {
        size_t piece = length < OUTPUT_CHUNK ? length : OUTPUT_CHUNK;
        crc = static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(piece)));
        if (!WriteEntryData(state, data, piece)) return false;
        written += piece;
        data += piece;
        length -= piece;
    }
    entry.crc = crc;
    return true;
}

bool WriteDeflated(ArchiveWriterState& state, const uint8_t* data, size_t length,
                   EntryRecord& entry, uint64_t& written) {
    if (!state.deflater) {
        // One large block per archive, kept for the later entries.
        std::unique_ptr<z_stream> stream(new z_stream());
        if (deflateInit2(stream.get(), DEFLATE_LEVEL, Z_DEFLATED, DEFLATE_WINDOW_BITS,
                         DEFLATE_MEMORY_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK) {
            return false;
        }
        state.deflater.reset(stream.release());
    } else if (deflateReset(state.deflater.get()) != Z_OK) {
        return false;
    }
    z_stream& stream = *state.deflater;
    uint32_t crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    uint8_t output[OUTPUT_CHUNK];
    int flush = Z_NO_FLUSH;
    do {
        size_t piece = length < DEFLATE_INPUT_CHUNK ? length : DEFLATE_INPUT_CHUNK;
        crc = static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(piece)));
        stream.next_in = const_cast<Bytef*>(data);
        stream.avail_in = static_cast<uInt>(piece);
        data += piece;
        length -= piece;
        flush = length == 0 ? Z_FINISH : Z_NO_FLUSH;
        int result = Z_OK;
        do {
            stream.next_out = output;
            stream.avail_out = static_cast<uInt>(sizeof(output));
            result = deflate(&stream, flush);
            if (result == Z_STREAM_ERROR) return false;
            size_t produced = sizeof(output) - stream.avail_out;
            if (!WriteEntryData(state, output, produced)) return false;
            written += produced;
        } while (stream.avail_out == 0);
        if (flush == Z_FINISH && result != Z_STREAM_END) return false;
    } while (flush != Z_FINISH);
    entry.crc = crc;
    return true;
}

bool RewriteLocalHeader(ArchiveWriterState& state, const EntryRecord& entry) {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(state.archiveOffset + entry.localHeaderOffset);
    if (!SetFilePointerEx(state.file.get(), at, nullptr, FILE_BEGIN)) return false;
    RecordBytes header = LocalHeader(entry);
    bool written = WriteAll(state.file.get(), header.data(), header.size());
    LARGE_INTEGER zero = {};
    bool back = SetFilePointerEx(state.file.get(), zero, nullptr, FILE_END) != 0;
    return written && back;
}

// After a failed write the file may hold part of an entry: go on from its end.
void ResyncPosition(ArchiveWriterState& state) {
    LARGE_INTEGER zero = {};
    LARGE_INTEGER end = {};
    if (SetFilePointerEx(state.file.get(), zero, &end, FILE_END)) {
        state.position = static_cast<uint64_t>(end.QuadPart) - state.archiveOffset;
    }
}

uint32_t WriteEntry(ArchiveWriterState& state, EntryRecord& entry, const uint8_t* data,
                    size_t length) {
    if (state.position > MAX_FIELD_VALUE) return ARCHIVE_WRITE_FAILED;
    entry.localHeaderOffset = static_cast<uint32_t>(state.position);
    RecordBytes local = LocalHeader(entry);
    if (!WriteRecord(state, local.data(), local.size())) return ARCHIVE_WRITE_FAILED;

    if (state.hasPassword) {
        InitKeys(state.keys, state.password);
        srand(static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetDesktopWindow()) ^
                                    GetTickCount()));
        uint8_t header[ENCRYPTION_HEADER_SIZE];
        for (uint32_t i = 0; i + 1 < ENCRYPTION_HEADER_SIZE; ++i) {
            header[i] = static_cast<uint8_t>(rand() >> 7);
        }
        // Readers check the last byte against the time when a descriptor follows.
        header[ENCRYPTION_HEADER_SIZE - 1] = static_cast<uint8_t>(entry.dosDateTime >> 8);
        for (uint8_t& byte : header) byte = EncryptByte(state.keys, byte);
        if (!WriteRecord(state, header, sizeof(header))) return ARCHIVE_WRITE_FAILED;
        state.encrypting = true;
    }

    uint64_t written = 0;
    bool ok = entry.method == METHOD_STORED ? WriteStored(state, data, length, entry, written)
                                            : WriteDeflated(state, data, length, entry, written);
    state.encrypting = false;
    if (!ok) return ARCHIVE_WRITE_FAILED;

    uint64_t compressed = written + (state.hasPassword ? ENCRYPTION_HEADER_SIZE : 0);
    if (compressed > MAX_FIELD_VALUE) return ARCHIVE_WRITE_FAILED;
    entry.compressedSize = static_cast<uint32_t>(compressed);

    if (state.seekable && !state.hasPassword) {
        // Level 8 counts as maximum compression; only a rewritten header can say so.
        if (entry.method == METHOD_DEFLATE) entry.flags |= FLAG_MAXIMUM_COMPRESSION;
        entry.flags = static_cast<uint16_t>(entry.flags & ~FLAG_DATA_DESCRIPTOR);
        if (!RewriteLocalHeader(state, entry)) return ARCHIVE_WRITE_FAILED;
    } else {
        // The local header keeps its flags, so the directory repeats them.
        RecordBytes descriptor;
        descriptor.PutSignature(0x07, 0x08);
        descriptor.Put32(entry.crc);
        descriptor.Put32(entry.compressedSize);
        descriptor.Put32(entry.uncompressedSize);
        if (!WriteRecord(state, descriptor.data(), descriptor.size())) {
            return ARCHIVE_WRITE_FAILED;
        }
    }
    return ARCHIVE_OK;
}

uint32_t WriteCentralDirectory(ArchiveWriterState& state) {
    uint64_t start = state.position;
    for (const EntryRecord& entry : state.entries) {
        RecordBytes header = CentralHeader(entry);
        if (!WriteRecord(state, header.data(), header.size())) return ARCHIVE_WRITE_FAILED;
    }
    uint64_t size = state.position - start;
    if (start > MAX_FIELD_VALUE || size > MAX_FIELD_VALUE) return ARCHIVE_WRITE_FAILED;
    RecordBytes end;
    end.PutSignature(0x05, 0x06);
    end.Put16(0);  // this disk
    end.Put16(0);  // disk of the central directory
    end.Put16(static_cast<uint16_t>(state.entries.size()));
    end.Put16(static_cast<uint16_t>(state.entries.size()));
    end.Put32(static_cast<uint32_t>(size));
    end.Put32(static_cast<uint32_t>(start));
    end.Put16(0);  // comment length
    if (!WriteRecord(state, end.data(), end.size())) return ARCHIVE_WRITE_FAILED;
    return ARCHIVE_OK;
}

}  // namespace

ArchiveHandle* CreateArchive(const wchar_t* path, const char* password) {
    std::unique_ptr<ArchiveWriterState> state(new ArchiveWriterState());
    if (password != nullptr && password[0] != '\0') {
        state->password = password;
        state->hasPassword = true;
    }
    if (path == nullptr || path[0] == L'\0') {
        LastArchiveError = ARCHIVE_CREATE_FAILED;
        return nullptr;
    }
    state->file.reset(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!state->file.valid()) {
        LastArchiveError = ARCHIVE_CREATE_FAILED;
        return nullptr;
    }
    state->seekable = true;
    state->archiveOffset = 0;
    ArchiveHandle* handle = new ArchiveHandle();
    handle->kind = ARCHIVE_KIND_WRITER;
    handle->state = state.release();
    LastArchiveError = ARCHIVE_OK;
    return handle;
}

uint32_t AddArchiveEntry(ArchiveHandle* archive, const wchar_t* name, const void* data,
                         size_t length) {
    if (archive == nullptr) return ARCHIVE_BAD_ARGUMENT;
    if (archive->kind != ARCHIVE_KIND_WRITER || archive->state == nullptr) {
        return ARCHIVE_NOT_A_WRITER;
    }
    ArchiveWriterState& state = *archive->state;
    if (name == nullptr || name[0] == L'\0') return ARCHIVE_BAD_ARGUMENT;

    std::wstring copied(name, wcsnlen(name, MAX_NAME_UNITS));
    // Do not leave half of a surrogate pair at the cut.
    if (copied.size() == MAX_NAME_UNITS && name[MAX_NAME_UNITS] != L'\0' &&
        IS_HIGH_SURROGATE(copied.back())) {
        copied.pop_back();
    }
    for (wchar_t& c : copied) {
        if (c == L'\\') c = L'/';
    }

    EntryRecord entry;
    entry.method = IsStoredExtension(copied) ? METHOD_STORED : METHOD_DEFLATE;
    if (data == nullptr || length == 0) return ARCHIVE_BAD_ARGUMENT;
    if (length > MAX_FIELD_VALUE - ENCRYPTION_HEADER_SIZE) return ARCHIVE_BAD_ARGUMENT;
    if (state.entries.size() >= MAX_ENTRIES) return ARCHIVE_BAD_ARGUMENT;
    if (state.centralDirectoryWritten) return ARCHIVE_WRITE_FAILED;

    StampEntry(entry);
    entry.name = NameToUtf8(copied);
    if (entry.name.empty()) return ARCHIVE_BAD_ARGUMENT;
    entry.flags =
        state.hasPassword ? (FLAG_DATA_DESCRIPTOR | FLAG_ENCRYPTED) : FLAG_DATA_DESCRIPTOR;
    entry.crc = 0;
    entry.uncompressedSize = static_cast<uint32_t>(length);
    if (entry.method == METHOD_STORED) {
        entry.compressedSize =
            static_cast<uint32_t>(length + (state.hasPassword ? ENCRYPTION_HEADER_SIZE : 0));
    }

    uint32_t result = WriteEntry(state, entry, static_cast<const uint8_t*>(data), length);
    if (result != ARCHIVE_OK) {
        ResyncPosition(state);
        return result;
    }
    state.entries.push_back(std::move(entry));
    return ARCHIVE_OK;
}

uint32_t CloseArchive(ArchiveHandle* archive) {
    if (archive == nullptr) {
        LastArchiveError = ARCHIVE_BAD_ARGUMENT;
        return LastArchiveError;
    }
    if (archive->kind != ARCHIVE_KIND_WRITER || archive->state == nullptr) {
        LastArchiveError = ARCHIVE_NOT_A_WRITER;
        return LastArchiveError;
    }
    std::unique_ptr<ArchiveWriterState> state(archive->state);
    archive->state = nullptr;
    archive->kind = 0;
    delete archive;

    uint32_t result = ARCHIVE_OK;
    if (!state->centralDirectoryWritten) {
        result = WriteCentralDirectory(*state);
        state->centralDirectoryWritten = true;
    }
    state->file.reset();
    LastArchiveError = result;
    return result;
}
