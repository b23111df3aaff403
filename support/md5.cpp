#include "support/md5.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "support/unique_handle.h"

namespace {

using Md5State = Md5Context;

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// F and G as RFC 1321 gives them, in forms that take fewer or more parallel
// operations (the two terms of G never share a bit, so + equals |).
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) + (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

template <uint32_t (*Round)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t t) {
    // The message word and constant first: they do not wait for b, c and d.
    a += x + t;
    a += Round(b, c, d);
    a = b + RotateLeft(a, s);
}

inline uint32_t LoadLittleEndian(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Transform(Md5State& state, const unsigned char* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);
    uint32_t a = state.a, b = state.b, c = state.c, d = state.d;

    Step<F>(a, b, c, d, x[0], 7, 0xd76aa478u);
    Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756u);
    Step<F>(c, d, a, b, x[2], 17, 0x242070dbu);
    Step<F>(b, c, d, a, x[3], 22, 0xc1bdceeeu);
    Step<F>(a, b, c, d, x[4], 7, 0xf57c0fafu);
    Step<F>(d, a, b, c, x[5], 12, 0x4787c62au);
    Step<F>(c, d, a, b, x[6], 17, 0xa8304613u);
    Step<F>(b, c, d, a, x[7], 22, 0xfd469501u);
    Step<F>(a, b, c, d, x[8], 7, 0x698098d8u);
    Step<F>(d, a, b, c, x[9], 12, 0x8b44f7afu);
    Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1u);
    Step<F>(b, c, d, a, x[11], 22, 0x895cd7beu);
    Step<F>(a, b, c, d, x[12], 7, 0x6b901122u);
    Step<F>(d, a, b, c, x[13], 12, 0xfd987193u);
    Step<F>(c, d, a, b, x[14], 17, 0xa679438eu);
    Step<F>(b, c, d, a, x[15], 22, 0x49b40821u);

    Step<G>(a, b, c, d, x[1], 5, 0xf61e2562u);
    Step<G>(d, a, b, c, x[6], 9, 0xc040b340u);
    Step<G>(c, d, a, b, x[11], 14, 0x265e5a51u);
    Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aau);
    Step<G>(a, b, c, d, x[5], 5, 0xd62f105du);
    Step<G>(d, a, b, c, x[10], 9, 0x02441453u);
    Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681u);
    Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8u);
    Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6u);
    Step<G>(d, a, b, c, x[14], 9, 0xc33707d6u);
    Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87u);
    Step<G>(b, c, d, a, x[8], 20, 0x455a14edu);
    Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905u);
    Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8u);
    Step<G>(c, d, a, b, x[7], 14, 0x676f02d9u);
    Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8au);

    Step<H>(a, b, c, d, x[5], 4, 0xfffa3942u);
    Step<H>(d, a, b, c, x[8], 11, 0x8771f681u);
    Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122u);
    Step<H>(b, c, d, a, x[14], 23, 0xfde5380cu);
    Step<H>(a, b, c, d, x[1], 4, 0xa4beea44u);
    Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9u);
    Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60u);
    Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70u);
    Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6u);
    Step<H>(d, a, b, c, x[0], 11, 0xeaa127fau);
    Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085u);
    Step<H>(b, c, d, a, x[6], 23, 0x04881d05u);
    Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039u);
    Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5u);
    Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8u);
    Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665u);

    Step<I>(a, b, c, d, x[0], 6, 0xf4292244u);
    Step<I>(d, a, b, c, x[7], 10, 0x432aff97u);
    Step<I>(c, d, a, b, x[14], 15, 0xab9423a7u);
    Step<I>(b, c, d, a, x[5], 21, 0xfc93a039u);
    Step<I>(a, b, c, d, x[12], 6, 0x655b59c3u);
    Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92u);
    Step<I>(c, d, a, b, x[10], 15, 0xffeff47du);
    Step<I>(b, c, d, a, x[1], 21, 0x85845dd1u);
    Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4fu);
    Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0u);
    Step<I>(c, d, a, b, x[6], 15, 0xa3014314u);
    Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1u);
    Step<I>(a, b, c, d, x[4], 6, 0xf7537e82u);
    Step<I>(d, a, b, c, x[11], 10, 0xbd3af235u);
    Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bbu);
    Step<I>(b, c, d, a, x[9], 21, 0xeb86d391u);

    state.a += a;
    state.b += b;
    state.c += c;
    state.d += d;
}

void Update(Md5State& state, const unsigned char* data, size_t size) {
    state.length += size;
    if (state.pendingSize > 0) {
        const size_t take = size < 64 - state.pendingSize ? size : 64 - state.pendingSize;
        memcpy(state.pending + state.pendingSize, data, take);
        state.pendingSize += take;
        data += take;
        size -= take;
        if (state.pendingSize < 64) return;
        Transform(state, state.pending);
        state.pendingSize = 0;
    }
    for (; size >= 64; data += 64, size -= 64) Transform(state, data);
    if (size > 0) {
        memcpy(state.pending, data, size);
        state.pendingSize = size;
    }
}

void Finish(Md5State& state, unsigned char digest[16]) {
    const uint64_t bits = state.length * 8;
    unsigned char tail[72] = {0x80};
    // Pad to 56 bytes modulo 64, then the bit count, low byte first.
    const size_t padding =
        state.pendingSize < 56 ? 56 - state.pendingSize : 120 - state.pendingSize;
    unsigned char count[8];
    for (int i = 0; i < 8; ++i) count[i] = static_cast<unsigned char>(bits >> (8 * i));
    const uint64_t length = state.length;
    Update(state, tail, padding);
    Update(state, count, 8);
    state.length = length;
    const uint32_t words[4] = {state.a, state.b, state.c, state.d};
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 4; ++i) {
            digest[4 * w + i] = static_cast<unsigned char>(words[w] >> (8 * i));
        }
    }
}

std::string HexOf(const unsigned char digest[16]) {
    char text[33] = {};
    for (int i = 0; i < 16; ++i) {
        _snprintf_s(text + 2 * i, sizeof(text) - 2 * i, _TRUNCATE, "%02X", digest[i]);
    }
    return std::string(text, 32);
}

}  // namespace

void Md5Digest(const unsigned char* data, int32_t length, unsigned char digest[16]) {
    Md5State state;
    if (data != nullptr && length > 0) Update(state, data, static_cast<size_t>(length));
    Finish(state, digest);
}

std::string Md5Hex(const void* data, size_t length) {
    unsigned char digest[16] = {};
    // Streamed over the whole size, so buffers past the signed 32-bit range hash too.
    Md5State state;
    if (data != nullptr && length > 0) {
        Update(state, static_cast<const unsigned char*>(data), length);
    }
    Finish(state, digest);
    return HexOf(digest);
}

std::string Md5OfFile(const std::wstring& path) {
    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR, 0) != 0)
        return std::string();
    UniqueFd file(fd);
    // In pieces: a file is never held in memory whole for its digest.
    std::vector<unsigned char> buffer(1u << 20);
    Md5State state;
    for (;;) {
        const int got = _read(file.get(), buffer.data(), static_cast<unsigned>(buffer.size()));
        if (got < 0) return std::string();
        if (got == 0) break;
        Update(state, buffer.data(), static_cast<size_t>(got));
    }
    if (state.length == 0) return std::string();
    unsigned char digest[16] = {};
    Finish(state, digest);
    return HexOf(digest);
}

void Md5Update(Md5Context& context, const void* data, size_t size) {
    if (data != nullptr && size > 0) Update(context, static_cast<const unsigned char*>(data), size);
}

std::string Md5FinishHex(Md5Context& context) {
    unsigned char digest[16] = {};
    Finish(context, digest);
    return HexOf(digest);
}

bool IsMd5Hex(const std::string& text) {
    constexpr size_t DIGITS = 32;
    if (text.size() != DIGITS) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}
