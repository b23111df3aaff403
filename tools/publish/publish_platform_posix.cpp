// The publisher's platform layer on Linux.
#include "tools/publish/publish_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

namespace fs = std::filesystem;

namespace {

// Length of the UTF-8 sequence at text[at], or 0 when it is not one: no
// overlong forms, no surrogates, nothing above U+10FFFF, as the updater's
// converter demands.
size_t SequenceLength(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    unsigned char second = byte(at + 1);
    if (lead == 0xE0 && second < 0xA0) return 0;  // overlong
    if (lead == 0xED && second > 0x9F) return 0;  // surrogate
    if (lead == 0xF0 && second < 0x90) return 0;  // overlong
    if (lead == 0xF4 && second > 0x8F) return 0;  // above U+10FFFF
    return length;
}

class UniqueDescriptor {
  public:
    explicit UniqueDescriptor(int fd) : fd_(fd) {}
    UniqueDescriptor(const UniqueDescriptor&) = delete;
    UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;
    ~UniqueDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }

  private:
    int fd_;
};

bool MoveAside(const fs::path& staged, const fs::path& target, const fs::path& aside) {
    if (rename(target.c_str(), aside.c_str()) != 0) return false;
    if (rename(staged.c_str(), target.c_str()) == 0) return true;
    int reason = errno;
    rename(aside.c_str(), target.c_str());
    errno = reason;
    return false;
}

// --- signing ---

template <typename T, void (*Free)(T*)>
struct Freeing {
    void operator()(T* pointer) const { Free(pointer); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Freeing<EVP_PKEY, EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Freeing<BIO, BIO_free_all>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freeing<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Pkcs8 =
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, Freeing<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;

// What a PEM read hands back, released with OPENSSL_free (the DER wiped first).
struct PemBlock {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    PemBlock() = default;
    PemBlock(const PemBlock&) = delete;
    PemBlock& operator=(const PemBlock&) = delete;
    ~PemBlock() {
        if (data) OPENSSL_cleanse(data, static_cast<size_t>(length));
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
};

std::string TextOf(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

// The DER of a PKCS#8 key, as openssl itself writes it.
std::string Pkcs8Der(EVP_PKEY* pkey) {
    Pkcs8 info(EVP_PKEY2PKCS8(pkey));
    unsigned char* der = nullptr;
    int length = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : -1;
    if (length <= 0) return std::string();
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    return bytes;
}

// The private key of the first PEM block of text: an unencrypted PKCS#8
// P-256 key in the one form openssl writes (named curve, public point
// included: 138 bytes), so that the Windows build takes the same keys.
Pkey PrivateKeyOf(const std::string& text) {
    constexpr long PKCS8_P256_BYTES = 138;
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    PemBlock block;
    if (!bio || !PEM_read_bio(bio.get(), &block.name, &block.header, &block.data, &block.length) ||
        std::string(block.name) != "PRIVATE KEY" || block.header[0] != '\0' ||
        block.length != PKCS8_P256_BYTES) {
        return Pkey();
    }
    const unsigned char* at = block.data;
    Pkcs8 info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &at, block.length));
    Pkey pkey(info ? EVP_PKCS82PKEY(info.get()) : nullptr);
    char group[32] = {};
    if (!pkey || EVP_PKEY_get_base_id(pkey.get()) != EVP_PKEY_EC ||
        !EVP_PKEY_get_group_name(pkey.get(), group, sizeof(group), nullptr) ||
        std::string(group) != "prime256v1") {
        return Pkey();
    }
    std::string der = Pkcs8Der(pkey.get());
    bool canonical = der.size() == static_cast<size_t>(block.length) &&
                     CRYPTO_memcmp(der.data(), block.data, der.size()) == 0;
    OPENSSL_cleanse(&der[0], der.size());
    return canonical ? std::move(pkey) : Pkey();
}

Pkey PublicKeyOf(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return Pkey(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

}  // namespace

bool PathToUtf8(const fs::path& path, std::string& utf8) {
    utf8 = path.native();
    for (size_t at = 0; at < utf8.size();) {
        size_t length = SequenceLength(utf8, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string DisplayPath(const fs::path& path) {
    const std::string& bytes = path.native();
    std::string text;
    for (size_t at = 0; at < bytes.size();) {
        size_t length = SequenceLength(bytes, at);
        if (length > 0) {
            text.append(bytes, at, length);
            at += length;
            continue;
        }
        char escaped[8] = {};
        snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(bytes[at]));
        text += escaped;
        ++at;
    }
    return text;
}

bool IsLinkedFolder(const fs::path& path) {
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(path, error)) && fs::is_directory(path, error);
}

bool FoldersOverlap(const fs::path& first, const fs::path& second) {
    // Links resolved, so a linked output folder cannot hide inside the release.
    std::error_code error;
    std::string a = fs::weakly_canonical(fs::absolute(first, error), error).native();
    std::string b = fs::weakly_canonical(fs::absolute(second, error), error).native();
    if (a.empty() || a.back() != '/') a += '/';
    if (b.empty() || b.back() != '/') b += '/';
    size_t shorter = a.size() < b.size() ? a.size() : b.size();
    return a.compare(0, shorter, b, 0, shorter) == 0;
}

bool WriteFileThrough(const fs::path& path, const std::string& bytes) {
    UniqueDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.valid()) return false;
    for (size_t done = 0; done < bytes.size();) {
        ssize_t written = write(file.get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return fsync(file.get()) == 0;
}

bool RenameOver(const fs::path& source, const fs::path& target) {
    // A reader keeps the file it opened; rename never waits for one here.
    return rename(source.c_str(), target.c_str()) == 0;
}

bool SwapFolderIn(const fs::path& staged, const fs::path& target, const fs::path& aside) {
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        // Both names swap in one step: a reader finds the old folder or the new one, never none.
        if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) return false;
        return MoveAside(staged, target, aside);
    }
    // A file system without these flags: the plain way, with its moment of no folder.
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (fs::exists(target)) return MoveAside(staged, target, aside);
    return rename(staged.c_str(), target.c_str()) == 0;
}

std::string DigestOfFile(const fs::path& path) {
    UniqueDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return std::string();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        return std::string();
    }
    constexpr size_t CHUNK = 1 << 20;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[CHUNK]);
    uint64_t total = 0;
    for (;;) {
        ssize_t got = read(file.get(), buffer.get(), CHUNK);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::string();
        if (got == 0) break;
        EVP_DigestUpdate(context.get(), buffer.get(), static_cast<size_t>(got));
        total += static_cast<uint64_t>(got);
    }
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    if (total == 0 || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return std::string();
    }
    static const char HEX[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += HEX[digest[i] >> 4];
        text += HEX[digest[i] & 0x0F];
    }
    return text;
}

bool WriteNewFile(const fs::path& path, const std::string& bytes, bool ownerOnly) {
    mode_t mode = ownerOnly ? 0600 : 0666;
    UniqueDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!file.valid()) return false;
    bool complete = true;
    for (size_t done = 0; complete && done < bytes.size();) {
        ssize_t written = write(file.get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        complete = written > 0;
        if (complete) done += static_cast<size_t>(written);
    }
    complete = complete && fsync(file.get()) == 0;
    if (!complete) unlink(path.c_str());
    return complete;
}

std::string SystemReason() { return strerror(errno); }

bool CopyFileContent(const fs::path& source, const fs::path& target, std::vector<char>& buffer,
                     std::string& reason) {
    UniqueDescriptor in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        reason = std::string("reading: ") + strerror(errno);
        return false;
    }
    UniqueDescriptor out(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.valid()) {
        reason = std::string("writing: ") + strerror(errno);
        return false;
    }
    constexpr size_t CHUNK = 1 << 20;
    buffer.resize(CHUNK);
    for (;;) {
        ssize_t got = read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            reason = std::string("reading: ") + strerror(errno);
            return false;
        }
        if (got == 0) return true;
        for (ssize_t done = 0; done < got;) {
            ssize_t written =
                write(out.get(), buffer.data() + done, static_cast<size_t>(got - done));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                reason = std::string("writing: ") + strerror(written < 0 ? errno : ENOSPC);
                return false;
            }
            done += written;
        }
    }
}

bool FlushToDisk(const fs::path& path, std::string& reason) {
    UniqueDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.valid() && fsync(file.get()) == 0) return true;
    reason = strerror(errno);
    return false;
}

bool KeepAs(const fs::path& file, const fs::path& link, std::string& reason) {
    if (::link(file.c_str(), link.c_str()) == 0) return true;
    std::vector<char> buffer;
    return CopyFileContent(file, link, buffer, reason) && FlushToDisk(link, reason);
}

std::string FolderIdentity(const fs::path& folder) {
    struct stat status = {};
    if (stat(folder.c_str(), &status) != 0) return std::string();
    return std::to_string(static_cast<unsigned long long>(status.st_ino));
}

std::string EnvironmentValue(const char* name) {
    const char* value = getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool OthersCanRead(const std::vector<fs::path>& published, std::string& advice) {
    // Another user needs to pass every folder above a file and read the file.
    bool readable = true;
    for (const fs::path& path : published) {
        std::error_code error;
        fs::path absolute = fs::absolute(path, error);
        bool listed = true;
        for (fs::path at = absolute; !error && !at.empty(); at = at.parent_path()) {
            struct stat status = {};
            if (stat(at.c_str(), &status) == 0) {
                mode_t needed = !S_ISDIR(status.st_mode) ? S_IROTH
                                : listed                 ? S_IROTH | S_IXOTH
                                                         : S_IXOTH;
                if ((status.st_mode & needed) != needed) readable = false;
            }
            listed = false;
            if (at == at.parent_path()) break;
        }
    }
    if (readable) return true;
    mode_t mask = umask(0);
    umask(mask);
    char octal[8] = {};
    snprintf(octal, sizeof(octal), "%03o", static_cast<unsigned>(mask));
    advice = std::string("other users cannot read the published tree (umask ") + octal +
             ", or a folder above it closed to them), so a web server running as another user "
             "cannot serve it: publish with umask 022, or run chmod -R o+rX on the output "
             "folder and chmod o+x on each folder above it";
    return false;
}

bool MakeSigningKey(SigningKey& key) {
    Pkey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Bio bio(BIO_new(BIO_s_secmem()));
    if (!pkey || !bio ||
        !PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        return false;
    }
    std::string pem = TextOf(bio.get());
    bool read = ReadSigningKey(pem, key);
    OPENSSL_cleanse(&pem[0], pem.size());
    return read;
}

bool ReadSigningKey(const std::string& privatePem, SigningKey& key) {
    Pkey pkey = PrivateKeyOf(privatePem);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!pkey || !bio || !PEM_write_bio_PUBKEY(bio.get(), pkey.get())) return false;
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(pkey.get(), &der);
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int digestLength = 0;
    bool hashed = length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength,
                                           EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed) return false;
    static const char HEX[] = "0123456789abcdef";
    key.fingerprint.clear();
    for (unsigned int i = 0; i < digestLength; ++i) {
        key.fingerprint += HEX[digest[i] >> 4];
        key.fingerprint += HEX[digest[i] & 0x0F];
    }
    key.privatePem = privatePem;
    key.publicPem = TextOf(bio.get());
    return true;
}

bool SignBytes(const SigningKey& key, const std::string& bytes, std::string& signature) {
    Pkey privateKey = PrivateKeyOf(key.privatePem);
    Pkey publicKey = PublicKeyOf(key.publicPem);
    DigestContext signing(EVP_MD_CTX_new());
    DigestContext verifying(EVP_MD_CTX_new());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t length = 0;
    if (!privateKey || !publicKey || !signing || !verifying ||
        EVP_DigestSignInit(signing.get(), nullptr, EVP_sha256(), nullptr, privateKey.get()) != 1 ||
        EVP_DigestSign(signing.get(), nullptr, &length, data, bytes.size()) != 1) {
        return false;
    }
    signature.assign(length, '\0');
    auto* out = reinterpret_cast<unsigned char*>(&signature[0]);
    if (EVP_DigestSign(signing.get(), out, &length, data, bytes.size()) != 1) return false;
    signature.resize(length);
    return EVP_DigestVerifyInit(verifying.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) ==
               1 &&
           EVP_DigestVerify(verifying.get(), out, length, data, bytes.size()) == 1;
}

OutputLock::~OutputLock() {
    if (token_ >= 0) close(static_cast<int>(token_));
}

bool OutputLock::Take(const fs::path& lockFile, std::string& failure) {
    failure.clear();
    int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        failure = strerror(errno);
        return false;
    }
    token_ = fd;
    // A POSIX lock on the first byte: the lock a Windows publisher takes under
    // Wine is one too. The kernel releases it when the process ends, however.
    struct flock first = {};
    first.l_type = F_WRLCK;
    first.l_whence = SEEK_SET;
    first.l_start = 0;
    first.l_len = 1;
    if (fcntl(fd, F_SETLK, &first) != 0) {
        if (errno != EACCES && errno != EAGAIN) failure = strerror(errno);
        return false;
    }
    // And a whole-file lock, which `flock` takes around a copy of the output
    // folder: no publish starts while one is made.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) failure = strerror(errno);
    return false;
}

std::vector<fs::path> CommandArguments(int argc, char** argv) {
    std::vector<fs::path> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(std::string(argv[i]));
    return arguments;
}

void WriteText(bool toError, const std::string& utf8) {
    FILE* stream = toError ? stderr : stdout;
    fwrite(utf8.data(), 1, utf8.size(), stream);
    fflush(stream);
}

bool ErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

uint64_t PhysicalMemory() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize)
               : 0;
}

std::string VolumeOf(const fs::path& folder) {
    struct stat info = {};
    if (stat(folder.c_str(), &info) != 0) return std::string();
    return std::to_string(static_cast<unsigned long long>(info.st_dev));
}
