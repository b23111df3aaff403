#include "tools/publish/publish_sign.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "tools/publish/publish_records.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t READ_CHUNK = 1 << 20;
// A key file is a few hundred bytes; more is not read.
constexpr size_t LARGEST_KEY_FILE = 1 << 16;
// What a key signs once before it is used, to show that it works.
constexpr char KEY_PROBE[] = "veldra-publish key check";

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

}  // namespace

// The file's bytes, at most limit of them; false when it cannot be opened or read.
bool ReadFileBytes(const fs::path& path, std::string& bytes, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.clear();
    std::vector<char> buffer(READ_CHUNK);
    while (in && bytes.size() < limit) {
        in.read(buffer.data(),
                static_cast<std::streamsize>(std::min(buffer.size(), limit - bytes.size())));
        bytes.append(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    return !in.bad();
}

// The key in file, shown to work by one signature.
bool LoadSigningKey(const fs::path& file, SigningKey& key, std::string& error) {
    std::string text;
    std::string probe;
    std::error_code kind;
    // A pipe or a device would hold the publisher up for ever.
    if (!fs::is_regular_file(file, kind)) {
        error = "signing key " + DisplayPath(file) + " is not a file";
        return false;
    }
    if (!ReadFileBytes(file, text, LARGEST_KEY_FILE)) {
        error = "signing key " + DisplayPath(file) + " cannot be read";
        return false;
    }
    if (!ReadSigningKey(text, key) || !SignBytes(key, KEY_PROBE, probe)) {
        error = "signing key " + DisplayPath(file) +
                " is not an unencrypted P-256 private key in PEM \"PRIVATE KEY\" (PKCS#8) form, "
                "as veldra-publish keygen and openssl genpkey write it";
        return false;
    }
    return true;
}

// Writes the signature of file's exact bytes to signatureFile.
bool SignInto(const SigningKey& key, const fs::path& file, const fs::path& signatureFile,
              std::string& reason) {
    std::string bytes;
    std::string signature;
    if (!ReadFileBytes(file, bytes, SIZE_MAX)) {
        reason = "reading: " + SystemReason();
        return false;
    }
    if (!SignBytes(key, bytes, signature)) {
        reason = "the platform's cryptography made no signature";
        return false;
    }
    if (!WriteFileThrough(signatureFile, signature)) {
        reason = "writing: " + SystemReason();
        return false;
    }
    return true;
}

int MakeKeyFiles(const fs::path& privateFile, const fs::path& publicFile, std::string& report) {
    if (FoldersOverlap(privateFile, publicFile)) {
        report = "refused: the private and the public key need two different files";
        return PUBLISH_REFUSED;
    }
    for (const fs::path* file : {&privateFile, &publicFile}) {
        if (Exists(*file)) {
            report = "refused: " + DisplayPath(*file) + " exists; keygen never overwrites a key";
            return PUBLISH_REFUSED;
        }
    }
    SigningKey key;
    std::string probe;
    if (!MakeSigningKey(key) || !SignBytes(key, KEY_PROBE, probe)) {
        report = "cannot make a key pair with the platform's cryptography";
        return PUBLISH_WRITE_FAILED;
    }
    if (!WriteNewFile(privateFile, key.privatePem, true)) {
        report = "cannot write " + DisplayPath(privateFile) + ": " + SystemReason();
        return PUBLISH_WRITE_FAILED;
    }
    if (!WriteNewFile(publicFile, key.publicPem, false)) {
        std::string reason = SystemReason();
        std::error_code ignored;
        fs::remove(privateFile, ignored);
        report = "cannot write " + DisplayPath(publicFile) + ": " + reason;
        return PUBLISH_WRITE_FAILED;
    }
    report = "made a P-256 key pair, key SHA-256 " + key.fingerprint + "\nprivate key " +
             DisplayPath(privateFile) +
             " (owner only): for --sign where releases are made; it never goes to the server"
             "\npublic key " +
             DisplayPath(publicFile) + ": for updater builds (VELDRA_RELEASE_PUBLIC_KEY)";
    return PUBLISH_OK;
}
