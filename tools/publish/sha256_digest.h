// SHA-256 in portable C++, so both publisher builds digest alike without a
// platform call per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

class Sha256Digest {
  public:
    void Update(const void* data, size_t size);
    // 64 lowercase hexadecimal digits; the digest is spent.
    std::string FinishHex();

  private:
    void Transform(const unsigned char* block);

    uint32_t state_[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                          0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
    uint64_t length_ = 0;
    unsigned char pending_[64] = {};
    size_t pendingSize_ = 0;
};

std::string Sha256OfBytes(const std::string& bytes);

// Empty when the file cannot be read.
std::string Sha256OfFile(const std::filesystem::path& path);
