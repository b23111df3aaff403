// A file's MD5 and SHA-256 from one read of its bytes: where releases are
// signed a fetched file must carry both, and reading it twice would double
// the cost of the check.
#pragma once

#include <cstddef>
#include <string>

// SHA-256 as 64 lowercase hexadecimal digits; empty when CNG cannot hash.
std::string Sha256Hex(const void* data, size_t size);
inline std::string Sha256Hex(const std::string& bytes) {
    return Sha256Hex(bytes.data(), bytes.size());
}

struct FileDigests {
    std::string md5;     // as Md5OfFile gives it: uppercase; empty for an unreadable or empty file
    std::string sha256;  // lowercase; empty unless asked for and the file was read
};

// Reads path once, in pieces (never whole), for its MD5 and, with withSha256,
// its SHA-256.
FileDigests DigestsOfFile(const std::wstring& path, bool withSha256);

// True when bytes have both digests; expectedSha256 is only compared when
// required (an empty one never matches then).
bool BytesHaveDigests(const std::string& bytes, const std::string& expectedMd5,
                      const std::string& expectedSha256, bool sha256Required);
