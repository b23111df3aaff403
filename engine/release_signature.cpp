#include "engine/release_signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "engine/release_key.h"

namespace {

constexpr size_t COORDINATE_BYTES = 32;
constexpr size_t HASH_BYTES = 32;

// SubjectPublicKeyInfo of an id-ecPublicKey on prime256v1, up to the
// uncompressed point (04, X, Y) that ends it.
constexpr unsigned char P256_KEY_PREFIX[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                             0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                             0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

bool Succeeded(NTSTATUS status) { return status >= 0; }

class Algorithm {
  public:
    explicit Algorithm(const wchar_t* name) {
        if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    ~Algorithm() {
        if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    BCRYPT_ALG_HANDLE get() const { return handle_; }

  private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
  public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (handle_) BCryptDestroyKey(handle_);
    }
    BCRYPT_KEY_HANDLE* out() { return &handle_; }
    BCRYPT_KEY_HANDLE get() const { return handle_; }

  private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

class Hash {
  public:
    explicit Hash(BCRYPT_ALG_HANDLE algorithm) {
        if (!algorithm ||
            !Succeeded(BCryptCreateHash(algorithm, &handle_, nullptr, 0, nullptr, 0, 0))) {
            handle_ = nullptr;
        }
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    ~Hash() {
        if (handle_) BCryptDestroyHash(handle_);
    }
    BCRYPT_HASH_HANDLE get() const { return handle_; }

  private:
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};

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
bool ImportPublicKey(const std::string& pem, BCRYPT_ALG_HANDLE ecdsa, Key& key) {
    const std::vector<unsigned char> der = PemToDer(pem);
    constexpr size_t prefixLength = sizeof(P256_KEY_PREFIX);
    if (der.size() != prefixLength + 2 * COORDINATE_BYTES ||
        std::memcmp(der.data(), P256_KEY_PREFIX, prefixLength) != 0) {
        return false;
    }
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * COORDINATE_BYTES);
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC,
                                 static_cast<ULONG>(COORDINATE_BYTES)};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), der.data() + prefixLength, 2 * COORDINATE_BYTES);
    return ecdsa && Succeeded(BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(),
                                                  blob.data(), static_cast<ULONG>(blob.size()), 0));
}

// One DER INTEGER at `at`, written as 32 big-endian bytes; false when it is
// not a positive integer that fits.
bool ReadInteger(const std::string& der, size_t& at, unsigned char* out) {
    if (at + 2 > der.size() || der[at] != 0x02) return false;
    size_t length = static_cast<unsigned char>(der[at + 1]);
    at += 2;
    if (length == 0 || length > COORDINATE_BYTES + 1 || at + length > der.size()) return false;
    const unsigned char* value = reinterpret_cast<const unsigned char*>(der.data()) + at;
    at += length;
    if (value[0] & 0x80) return false;
    while (length > 0 && value[0] == 0) {
        ++value;
        --length;
    }
    if (length > COORDINATE_BYTES) return false;
    std::memset(out, 0, COORDINATE_BYTES);
    std::memcpy(out + COORDINATE_BYTES - length, value, length);
    return true;
}

// The ECDSA-Sig-Value SEQUENCE { r INTEGER, s INTEGER } as CNG takes it: r then s.
bool RawSignature(const std::string& der, unsigned char raw[2 * COORDINATE_BYTES]) {
    if (der.size() < 8 || der[0] != 0x30 || static_cast<unsigned char>(der[1]) != der.size() - 2) {
        return false;
    }
    size_t at = 2;
    return ReadInteger(der, at, raw) && ReadInteger(der, at, raw + COORDINATE_BYTES) &&
           at == der.size();
}

bool Sha256(const std::string& bytes, unsigned char digest[HASH_BYTES]) {
    const Algorithm sha256(BCRYPT_SHA256_ALGORITHM);
    const Hash hash(sha256.get());
    if (!hash.get()) return false;
    // The data goes in pieces a ULONG can count.
    constexpr size_t piece = 1u << 30;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t length = bytes.size() - at < piece ? bytes.size() - at : piece;
        auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at));
        if (!Succeeded(BCryptHashData(hash.get(), data, static_cast<ULONG>(length), 0))) {
            return false;
        }
    }
    return Succeeded(BCryptFinishHash(hash.get(), digest, HASH_BYTES, 0));
}

}  // namespace

bool ReleaseSigningEnabled() { return RELEASE_PUBLIC_KEY_PEM[0] != '\0'; }

const char* ReleasePublicKeyPem() { return RELEASE_PUBLIC_KEY_PEM; }

bool VerifySignature(const std::string& publicKeyPem, const std::string& bytes,
                     const std::string& signature) {
    unsigned char raw[2 * COORDINATE_BYTES];
    unsigned char digest[HASH_BYTES];
    if (!RawSignature(signature, raw) || !Sha256(bytes, digest)) return false;
    const Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    Key key;
    if (!ImportPublicKey(publicKeyPem, ecdsa.get(), key)) return false;
    return Succeeded(
        BCryptVerifySignature(key.get(), nullptr, digest, HASH_BYTES, raw, sizeof(raw), 0));
}
