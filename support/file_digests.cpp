#include "support/file_digests.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <optional>
#include <vector>

#include "support/cng.h"
#include "support/md5.h"
#include "support/unique_handle.h"

namespace {

constexpr unsigned READ_PIECE = 1u << 20;

std::string LowerHex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * size, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

// A SHA-256 fed piece by piece; unusable (and then no digest) when CNG fails.
class Sha256Stream {
  public:
    Sha256Stream() : algorithm_(BCRYPT_SHA256_ALGORITHM) {
        if (!algorithm_.get() ||
            !CngSucceeded(BCryptCreateHash(algorithm_.get(), &hash_, nullptr, 0, nullptr, 0, 0))) {
            hash_ = nullptr;
        }
    }
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    ~Sha256Stream() {
        if (hash_) BCryptDestroyHash(hash_);
    }

    // Pieces stay below what a ULONG counts.
    void Update(const unsigned char* data, ULONG size) {
        if (hash_ && !CngSucceeded(BCryptHashData(hash_, const_cast<PUCHAR>(data), size, 0))) {
            failed_ = true;
        }
    }
    std::string FinishHex() {
        unsigned char digest[SHA256_BYTES] = {};
        if (!hash_ || failed_ || !CngSucceeded(BCryptFinishHash(hash_, digest, SHA256_BYTES, 0))) {
            return std::string();
        }
        return LowerHex(digest, SHA256_BYTES);
    }

  private:
    CngAlgorithm algorithm_;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    bool failed_ = false;
};

}  // namespace

std::string Sha256Hex(const void* data, size_t size) {
    unsigned char digest[SHA256_BYTES] = {};
    if (!Sha256(data, size, digest)) return std::string();
    return LowerHex(digest, SHA256_BYTES);
}

FileDigests DigestsOfFile(const std::wstring& path, bool withSha256) {
    FileDigests digests;
    int fd = -1;
    if (_wsopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR, 0) != 0) return digests;
    UniqueFd file(fd);
    std::vector<unsigned char> buffer(READ_PIECE);
    Md5Context md5;
    std::optional<Sha256Stream> sha256;
    if (withSha256) sha256.emplace();
    for (;;) {
        const int got = _read(file.get(), buffer.data(), READ_PIECE);
        if (got < 0) return digests;
        if (got == 0) break;
        Md5Update(md5, buffer.data(), static_cast<size_t>(got));
        if (sha256) sha256->Update(buffer.data(), static_cast<ULONG>(got));
    }
    if (md5.length == 0) return digests;
    digests.md5 = Md5FinishHex(md5);
    if (sha256) digests.sha256 = sha256->FinishHex();
    return digests;
}

bool BytesHaveDigests(const std::string& bytes, const std::string& expectedMd5,
                      const std::string& expectedSha256, bool sha256Required) {
    if (Md5Hex(bytes) != expectedMd5) return false;
    return !sha256Required || (!expectedSha256.empty() && Sha256Hex(bytes) == expectedSha256);
}
