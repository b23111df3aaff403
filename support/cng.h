// The platform's cryptography (CNG) as both sides of a signed release use it:
// owners for its handles, SHA-256, and the P-256 key forms.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>

constexpr size_t P256_COORDINATE_BYTES = 32;
constexpr size_t SHA256_BYTES = 32;

// SubjectPublicKeyInfo of an id-ecPublicKey on prime256v1, up to the
// uncompressed point (04, X, Y) that ends it.
constexpr unsigned char P256_PUBLIC_KEY_PREFIX[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
    0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

inline bool CngSucceeded(NTSTATUS status) { return status >= 0; }

class CngAlgorithm {
  public:
    explicit CngAlgorithm(const wchar_t* name) {
        if (!CngSucceeded(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) {
            handle_ = nullptr;
        }
    }
    CngAlgorithm(const CngAlgorithm&) = delete;
    CngAlgorithm& operator=(const CngAlgorithm&) = delete;
    ~CngAlgorithm() {
        if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
    }
    BCRYPT_ALG_HANDLE get() const { return handle_; }

  private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class CngKey {
  public:
    CngKey() = default;
    CngKey(const CngKey&) = delete;
    CngKey& operator=(const CngKey&) = delete;
    ~CngKey() {
        if (handle_) BCryptDestroyKey(handle_);
    }
    BCRYPT_KEY_HANDLE* out() { return &handle_; }
    BCRYPT_KEY_HANDLE get() const { return handle_; }

  private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

// False when CNG cannot hash.
bool Sha256(const void* data, size_t size, unsigned char digest[SHA256_BYTES]);
