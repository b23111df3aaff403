#include "support/cng.h"

bool Sha256(const void* data, size_t size, unsigned char digest[SHA256_BYTES]) {
    const CngAlgorithm sha256(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!sha256.get() ||
        !CngSucceeded(BCryptCreateHash(sha256.get(), &hash, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    // The data goes in pieces a ULONG can count.
    constexpr size_t piece = 1u << 30;
    const auto* bytes = static_cast<const unsigned char*>(data);
    bool hashed = true;
    for (size_t at = 0; hashed && at < size; at += piece) {
        const size_t length = size - at < piece ? size - at : piece;
        hashed = CngSucceeded(
            BCryptHashData(hash, const_cast<PUCHAR>(bytes + at), static_cast<ULONG>(length), 0));
    }
    hashed = hashed && CngSucceeded(BCryptFinishHash(hash, digest, SHA256_BYTES, 0));
    BCryptDestroyHash(hash);
    return hashed;
}
