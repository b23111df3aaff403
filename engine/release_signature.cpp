#include "engine/release_signature.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "engine/release_key.h"
#include "support/cng.h"

namespace {

// The DER bytes of a PEM text; empty when it is not one.
std::vector<unsigned char> PemToDer(const std::string& pem) {
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return {};
    }
    std::vector<unsigned char> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        return {};
    }
    der.resize(size);
    return der;
}

// The key as CNG takes it: the blob header, then X and Y.
bool ImportPublicKey(const std::string& pem, BCRYPT_ALG_HANDLE ecdsa, CngKey& key) {
    const std::vector<unsigned char> der = PemToDer(pem);
    constexpr size_t prefixLength = sizeof(P256_PUBLIC_KEY_PREFIX);
    if (der.size() != prefixLength + 2 * P256_COORDINATE_BYTES ||
        std::memcmp(der.data(), P256_PUBLIC_KEY_PREFIX, prefixLength) != 0) {
        return false;
    }
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * P256_COORDINATE_BYTES);
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC,
                                 static_cast<ULONG>(P256_COORDINATE_BYTES)};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), der.data() + prefixLength, 2 * P256_COORDINATE_BYTES);
    return ecdsa &&
           CngSucceeded(BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(),
                                            blob.data(), static_cast<ULONG>(blob.size()), 0));
}

// One DER INTEGER at `at`, written as 32 big-endian bytes; false when it is
// not a positive integer that fits.
bool ReadInteger(const std::string& der, size_t& at, unsigned char* out) {
    if (at + 2 > der.size() || der[at] != 0x02) return false;
    size_t length = static_cast<unsigned char>(der[at + 1]);
    at += 2;
    if (length == 0 || length > P256_COORDINATE_BYTES + 1 || at + length > der.size()) return false;
    const unsigned char* value = reinterpret_cast<const unsigned char*>(der.data()) + at;
    at += length;
    if (value[0] & 0x80) return false;
    while (length > 0 && value[0] == 0) {
        ++value;
        --length;
    }
    if (length > P256_COORDINATE_BYTES) return false;
    std::memset(out, 0, P256_COORDINATE_BYTES);
    std::memcpy(out + P256_COORDINATE_BYTES - length, value, length);
    return true;
}

// The ECDSA-Sig-Value SEQUENCE { r INTEGER, s INTEGER } as CNG takes it: r then s.
bool RawSignature(const std::string& der, unsigned char raw[2 * P256_COORDINATE_BYTES]) {
    if (der.size() < 8 || der[0] != 0x30 || static_cast<unsigned char>(der[1]) != der.size() - 2) {
        return false;
    }
    size_t at = 2;
    return ReadInteger(der, at, raw) && ReadInteger(der, at, raw + P256_COORDINATE_BYTES) &&
           at == der.size();
}

}  // namespace

bool ReleaseSigningEnabled() { return RELEASE_PUBLIC_KEY_PEM[0] != '\0'; }

const char* ReleasePublicKeyPem() { return RELEASE_PUBLIC_KEY_PEM; }

bool VerifySignature(const std::string& publicKeyPem, const std::string& bytes,
                     const std::string& signature) {
    unsigned char raw[2 * P256_COORDINATE_BYTES];
    unsigned char digest[SHA256_BYTES];
    if (!RawSignature(signature, raw) || !Sha256(bytes.data(), bytes.size(), digest)) return false;
    const CngAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    CngKey key;
    if (!ImportPublicKey(publicKeyPem, ecdsa.get(), key)) return false;
    return CngSucceeded(
        BCryptVerifySignature(key.get(), nullptr, digest, SHA256_BYTES, raw, sizeof(raw), 0));
}
