#include "engine/main_program.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/release_statement.h"
#include "engine/replacement.h"
#include "engine/server_endpoints.h"
#include "support/encoding.h"
#include "support/fields.h"
#include "support/file_io.h"
#include "support/md5.h"
#include "support/paths.h"
#include "support/pe_image.h"
#include "support/unique_handle.h"

namespace {

constexpr uint32_t TAG_MASK = 0x5E2B71C4u;
// Versions closer than this count as the same major version.
constexpr double SAME_VERSION_TOLERANCE = 0.0009;

// By replacement, so an ended run leaves the old record or the new one.
void WriteRecordLine(const std::wstring& path, const char* line) {
    PutFileByReplacement(path, std::string(line, std::strlen(line)));
}

}  // namespace

std::string ChecksumTag(const std::wstring& path) {
    std::string bytes;
    if (ReadWholeFile(path, bytes) <= 0) return std::string();
    uLong crc = crc32(0L, Z_NULL, 0);
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t left = bytes.size();
    while (left > 0) {
        const uInt chunk = static_cast<uInt>(left < 0x40000000u ? left : 0x40000000u);
        crc = crc32(crc, data, chunk);
        data += chunk;
        left -= chunk;
    }
    char tag[32] = {};
    _snprintf_s(tag, sizeof(tag), _TRUNCATE, "%X",
                static_cast<unsigned>(static_cast<uint32_t>(crc) ^ TAG_MASK));
    return tag;
}

std::optional<PendingRecord> ReadPendingRecord() {
    const std::wstring pending = ExeRelativePath(PENDING_FILE_NAME);
    std::string text;
    ReadWholeFile(MarkerPath(pending), text);

    std::vector<std::string> sides;
    std::string versionText;
    PendingRecord record;
    if (SplitFields(text, sides, "=") == 2) {
        versionText = sides[0];
        record.tag = sides[1];
    }
    std::vector<std::string> pieces;
    if (SplitFields(versionText, pieces, ".") == 3) {
        record.version =
            std::atof(pieces[0].c_str()) + std::atof(pieces[1].c_str()) / 100.0 + 0.0000001;
        record.build = static_cast<int32_t>(std::strtol(pieces[2].c_str(), nullptr, 10));
    }
    if (record.version == 0.0) return std::nullopt;
    if (ChecksumTag(pending) != record.tag) return std::nullopt;
    return record;
}

void FetchMainProgram(HWND dialog, int32_t serverBuild, double serverVersion) {
    const std::wstring pending = ExeRelativePath(PENDING_FILE_NAME);
    const int major = MajorVersion(serverVersion);

    char path[256] = {};
    _snprintf_s(path, sizeof(path), _TRUNCATE, MAIN_PROGRAM_PATH_FORMAT, static_cast<double>(major),
                MAIN_PROGRAM_NAME);
    SetWindowTextA(dialog, path);

    // A failed fetch leaves the earlier ~tmp.bak, which its record then judges.
    // A program that may be cut short is taken only when it is a whole image.
    DownloadTrustedFile(AnsiToWide(EncodeUrlPath(path)), pending, 0, IsWholePeImage);
    // Where releases are signed, a validly signed program of another release
    // (another major version) is no reason to swap: it must be the accepted
    // statement's. Without a record, nothing pending is swapped in.
    if (ReleaseSigningEnabled() && !MainProgramIsStated(pending)) {
        DeleteFileW(MarkerPath(pending).c_str());
        return;
    }

    const std::optional<PendingRecord> record = ReadPendingRecord();
    if (record && (std::fabs(record->version - major) > SAME_VERSION_TOLERANCE ||
                   record->build < serverBuild)) {
        return;
    }

    const std::string tag = ChecksumTag(pending);
    char line[256] = {};
    _snprintf_s(line, sizeof(line), _TRUNCATE, "%.1f.%d=%s", static_cast<double>(major),
                static_cast<int>(serverBuild), tag.c_str());
    WriteRecordLine(MarkerPath(pending), line);
}

bool MainProgramIsCurrent(const std::string& announcedMd5) {
    // Md5OfFile gives 32 uppercase digits, or nothing for a missing or empty file.
    constexpr size_t DIGEST_LENGTH = 32;
    if (announcedMd5.size() != DIGEST_LENGTH) return false;
    return Md5OfFile(ExeRelativePath(PRODUCT_FILE_NAME)) == announcedMd5;
}
