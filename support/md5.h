// MD5 digests (RFC 1321) as 32 uppercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Raw digest; a length of zero or less gives the digest of the empty message.
void Md5Digest(const unsigned char* data, int32_t length, unsigned char digest[16]);

std::string Md5Hex(const void* data, size_t length);
inline std::string Md5Hex(const std::string& bytes) { return Md5Hex(bytes.data(), bytes.size()); }

// True for a digest as Md5Hex writes it: 32 uppercase hexadecimal digits.
bool IsMd5Hex(const std::string& text);

// Digest of the whole file; empty when it cannot be read or is empty.
std::string Md5OfFile(const std::wstring& path);
