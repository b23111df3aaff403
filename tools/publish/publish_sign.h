// Release signing: the key a publish signs with, the signatures it writes,
// and the key pairs keygen makes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "tools/publish/publish_platform.h"

// The file's bytes, at most limit of them; false when it cannot be opened or read.
bool ReadFileBytes(const std::filesystem::path& path, std::string& bytes, size_t limit);

// The key in file, shown to work by one signature.
bool LoadSigningKey(const std::filesystem::path& file, SigningKey& key, std::string& error);

// Writes the signature of file's exact bytes to signatureFile; reason says
// what failed.
bool SignInto(const SigningKey& key, const std::filesystem::path& file,
              const std::filesystem::path& signatureFile, std::string& reason);
