// MD5 digests (RFC 1321) as 32 uppercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A digest taken piece by piece, for callers that read the bytes themselves.
struct Md5Context {
    uint32_t a = 0x67452301u;
    uint32_t b = 0xEFCDAB89u;
    uint32_t c = 0x98BADCFEu;
    uint32_t d = 0x10325476u;
    uint64_t length = 0;  // bytes seen so far
    unsigned char pending[64] = {};
    size_t pendingSize = 0;
};
void Md5Update(Md5Context& context, const void* data, size_t size);
// 32 uppercase hexadecimal digits; the context is spent.
std::string Md5FinishHex(Md5Context& context);

// Raw digest; a length of zero or less gives the digest of the empty message.
void Md5Digest(const unsigned char* data, int32_t length, unsigned char digest[16]);

std::string Md5Hex(const void* data, size_t length);
inline std::string Md5Hex(const std::string& bytes) { return Md5Hex(bytes.data(), bytes.size()); }

// True for a digest as Md5Hex writes it: 32 uppercase hexadecimal digits.
bool IsMd5Hex(const std::string& text);

// Digest of the whole file; empty when it cannot be read or is empty.
std::string Md5OfFile(const std::wstring& path);
