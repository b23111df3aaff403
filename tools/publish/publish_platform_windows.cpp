// The publisher's platform layer on Windows.
#include "tools/publish/publish_platform.h"

#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/release_signature.h"
#include "support/cng.h"
#include "support/md5.h"
#include "support/unique_handle.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8Of(const std::wstring& text, DWORD flags, bool& complete) {
    complete = true;
    if (text.empty()) return std::string();
    int size = static_cast<int>(text.size());
    int length =
        WideCharToMultiByte(CP_UTF8, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        complete = false;
        return std::string();
    }
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, flags, text.data(), size, &utf8[0], length, nullptr, nullptr);
    return utf8;
}

std::wstring WideOf(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int size = static_cast<int>(utf8.size());
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], length);
    return wide;
}

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

std::wstring FullPathWithSlash(const fs::path& path) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, buffer, nullptr);
    std::wstring full = (length == 0 || length >= MAX_PATH * 2) ? path.wstring() : buffer;
    if (full.empty() || (full.back() != L'\\' && full.back() != L'/')) full += L'\\';
    return full;
}

// A server reading the target (or a file inside a folder) makes a rename fail
// for as long as it reads, so it is tried again for a few seconds.
bool MoveRetrying(const fs::path& source, const fs::path& target, DWORD flags) {
    constexpr int ATTEMPTS = 100;
    constexpr DWORD PAUSE_MS = 50;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
        Sleep(PAUSE_MS);
    }
    return false;
}

// --- signing ---

constexpr size_t PEM_LINE = 64;

// The PKCS#8 PrivateKeyInfo openssl writes for a P-256 key: id-ecPublicKey on
// prime256v1 around an ECPrivateKey (version 1, d, the public point). Fixed
// bytes, then d, then these, then X and Y; no other layout is taken.
constexpr unsigned char PKCS8_BEFORE_D[] = {0x30, 0x81, 0x87, 0x02, 0x01, 0x00, 0x30, 0x13, 0x06,
                                            0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
                                            0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07,
                                            0x04, 0x6D, 0x30, 0x6B, 0x02, 0x01, 0x01, 0x04, 0x20};
constexpr unsigned char PKCS8_BEFORE_POINT[] = {0xA1, 0x44, 0x03, 0x42, 0x00, 0x04};
constexpr size_t PKCS8_BYTES = sizeof(PKCS8_BEFORE_D) + P256_COORDINATE_BYTES +
                               sizeof(PKCS8_BEFORE_POINT) + 2 * P256_COORDINATE_BYTES;
using Bytes = std::vector<unsigned char>;

// The private scalar in a buffer that is wiped when it goes.
class SecretBytes {
  public:
    explicit SecretBytes(size_t size) : bytes_(size) {}
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { SecureZeroMemory(bytes_.data(), bytes_.size()); }
    unsigned char* data() { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

  private:
    Bytes bytes_;
};

// PEM as openssl writes it: the label lines, base64 in lines of 64, LF.
std::string Pem(const char* label, const Bytes& der) {
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD size = 0;
    if (!CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), flags, nullptr, &size)) {
        return std::string();
    }
    std::string base64(size, '\0');
    if (!CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), flags, &base64[0],
                              &size)) {
        return std::string();
    }
    base64.resize(size);
    std::string pem = std::string("-----BEGIN ") + label + "-----\n";
    for (size_t at = 0; at < base64.size(); at += PEM_LINE)
        pem += base64.substr(at, PEM_LINE) + "\n";
    return pem + "-----END " + label + "-----\n";
}

// The DER bytes of the first PEM block of text, which must carry label.
Bytes DerOfPem(const std::string& text, const std::string& label) {
    const std::string begin = "-----BEGIN " + label + "-----";
    const std::string end = "-----END " + label + "-----";
    size_t first = text.find("-----BEGIN ");
    if (first == std::string::npos || text.compare(first, begin.size(), begin) != 0) return {};
    size_t bodyStart = first + begin.size();
    size_t bodyEnd = text.find(end, bodyStart);
    if (bodyEnd == std::string::npos) return {};
    const char* body = text.data() + bodyStart;
    DWORD bodySize = static_cast<DWORD>(bodyEnd - bodyStart);
    DWORD size = 0;
    if (!CryptStringToBinaryA(body, bodySize, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                              nullptr)) {
        return {};
    }
    Bytes der(size);
    if (!CryptStringToBinaryA(body, bodySize, CRYPT_STRING_BASE64, der.data(), &size, nullptr,
                              nullptr)) {
        return {};
    }
    der.resize(size);
    return der;
}

// A key's parts as CNG's private blob holds them after its header: X and Y
// (the public point), then d, 32 bytes each.
bool KeyParts(const std::string& privatePem, unsigned char* parts) {
    Bytes der = DerOfPem(privatePem, "PRIVATE KEY");
    const unsigned char* at = der.data();
    bool fits = der.size() == PKCS8_BYTES &&
                std::memcmp(at, PKCS8_BEFORE_D, sizeof(PKCS8_BEFORE_D)) == 0 &&
                std::memcmp(at + sizeof(PKCS8_BEFORE_D) + P256_COORDINATE_BYTES, PKCS8_BEFORE_POINT,
                            sizeof(PKCS8_BEFORE_POINT)) == 0;
    if (fits) {
        const unsigned char* d = at + sizeof(PKCS8_BEFORE_D);
        const unsigned char* point = d + P256_COORDINATE_BYTES + sizeof(PKCS8_BEFORE_POINT);
        std::memcpy(parts, point, 2 * P256_COORDINATE_BYTES);
        std::memcpy(parts + 2 * P256_COORDINATE_BYTES, d, P256_COORDINATE_BYTES);
    }
    SecureZeroMemory(der.data(), der.size());
    return fits;
}

// One DER INTEGER of a 32-byte big-endian value: no leading zero bytes but
// one that keeps it positive.
void AppendInteger(Bytes& der, const unsigned char* value) {
    size_t skip = 0;
    while (skip + 1 < P256_COORDINATE_BYTES && value[skip] == 0) ++skip;
    bool pad = (value[skip] & 0x80) != 0;
    der.push_back(0x02);
    der.push_back(static_cast<unsigned char>(P256_COORDINATE_BYTES - skip + (pad ? 1 : 0)));
    if (pad) der.push_back(0x00);
    der.insert(der.end(), value + skip, value + P256_COORDINATE_BYTES);
}

std::string LowerHex(const unsigned char* bytes, size_t size) {
    static const char HEX[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += HEX[bytes[i] >> 4];
        text += HEX[bytes[i] & 0x0F];
    }
    return text;
}

// A descriptor whose only entry lets the user running this process in:
// nobody else may read or change what it guards.
class OwnerOnlyDescriptor {
  public:
    OwnerOnlyDescriptor() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        const UniqueHandle ownedToken(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        if (size == 0 || !GetTokenInformation(token, TokenUser, user_.data(), size, &size)) return;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        auto* acl = reinterpret_cast<PACL>(acl_.data());
        const DWORD access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
        // Protected: nothing inherited from the folder widens it.
        ready_ = InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
                 AddAccessAllowedAce(acl, ACL_REVISION, access, sid) &&
                 InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
                 SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    OwnerOnlyDescriptor(const OwnerOnlyDescriptor&) = delete;
    OwnerOnlyDescriptor& operator=(const OwnerOnlyDescriptor&) = delete;
    SECURITY_DESCRIPTOR* get() { return ready_ ? &descriptor_ : nullptr; }

  private:
    std::vector<unsigned char> user_;
    std::vector<unsigned char> acl_;
    SECURITY_DESCRIPTOR descriptor_ = {};
    bool ready_ = false;
};

}  // namespace

bool PathToUtf8(const fs::path& path, std::string& utf8) {
    bool complete = false;
    utf8 = Utf8Of(path.native(), WC_ERR_INVALID_CHARS, complete);
    return complete;
}

std::string DisplayPath(const fs::path& path) {
    bool complete = false;
    // Without the strict flag an unpaired surrogate becomes U+FFFD.
    return Utf8Of(path.native(), 0, complete);
}

bool IsLinkedFolder(const fs::path& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool FoldersOverlap(const fs::path& first, const fs::path& second) {
    std::wstring a = FullPathWithSlash(first);
    std::wstring b = FullPathWithSlash(second);
    size_t shorter = std::min(a.size(), b.size());
    return std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(shorter), b.begin(),
                      [](wchar_t x, wchar_t y) { return AsciiLower(x) == AsciiLower(y); });
}

bool WriteFileThrough(const fs::path& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                      &written, nullptr) ||
                           written != bytes.size())) {
        return false;
    }
    return FlushFileBuffers(file.get()) != FALSE;
}

bool RenameOver(const fs::path& source, const fs::path& target) {
    return MoveRetrying(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool SwapFolderIn(const fs::path& staged, const fs::path& target, const fs::path& aside) {
    // Windows has no exchange of two names: the old folder goes aside first,
    // so for a moment there is none.
    bool hadOld = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (hadOld && !MoveRetrying(target, aside, 0)) return false;
    if (MoveRetrying(staged, target, 0)) return true;
    DWORD reason = GetLastError();
    if (hadOld) MoveRetrying(aside, target, 0);
    SetLastError(reason);
    return false;
}

std::string DigestOfFile(const fs::path& path) {
    // The updater's own digest, so both sides read a file the same way.
    return Md5OfFile(path.wstring());
}

bool WriteNewFile(const fs::path& path, const std::string& bytes, bool ownerOnly) {
    OwnerOnlyDescriptor descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    if (ownerOnly && attributes.lpSecurityDescriptor == nullptr) return false;
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, ownerOnly ? &attributes : nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    DWORD written = 0;
    bool complete =
        (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                     &written, nullptr) &&
                           written == bytes.size())) &&
        FlushFileBuffers(file.get());
    file.reset();
    if (!complete) DeleteFileW(path.c_str());
    return complete;
}

std::string SystemReason() {
    DWORD error = GetLastError();
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
        wide.pop_back();
    }
    bool complete = false;
    std::string reason = Utf8Of(wide, 0, complete);
    return (reason.empty() ? std::string("Windows error") : reason) + " (" + std::to_string(error) +
           ")";
}

bool CopyFileContent(const fs::path& source, const fs::path& target, std::vector<char>& buffer,
                     std::string& reason) {
    UniqueHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid()) {
        reason = "reading: " + SystemReason();
        return false;
    }
    UniqueHandle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) {
        reason = "writing: " + SystemReason();
        return false;
    }
    constexpr DWORD CHUNK = 1 << 20;
    buffer.resize(CHUNK);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), CHUNK, &got, nullptr)) {
            reason = "reading: " + SystemReason();
            return false;
        }
        if (got == 0) return true;
        DWORD written = 0;
        if (!WriteFile(out.get(), buffer.data(), got, &written, nullptr) || written != got) {
            reason = "writing: " + SystemReason();
            return false;
        }
    }
}

bool FlushToDisk(const fs::path& path, std::string& reason) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr));
    if (file.valid() && FlushFileBuffers(file.get())) return true;
    if (folder) return true;
    reason = SystemReason();
    return false;
}

bool KeepAs(const fs::path& file, const fs::path& link, std::string& reason) {
    if (CreateHardLinkW(link.c_str(), file.c_str(), nullptr)) return true;
    std::vector<char> buffer;
    return CopyFileContent(file, link, buffer, reason) && FlushToDisk(link, reason);
}

std::string FolderIdentity(const fs::path& folder) {
    UniqueHandle handle(CreateFileW(folder.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &information)) {
        return std::string();
    }
    return std::to_string(static_cast<unsigned long long>(information.nFileIndexHigh) << 32 |
                          information.nFileIndexLow);
}

std::string EnvironmentValue(const char* name) {
    std::wstring wideName = WideOf(name);
    DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) return std::string();
    std::wstring value(size, L'\0');
    size = GetEnvironmentVariableW(wideName.c_str(), &value[0], size);
    value.resize(size);
    bool complete = false;
    return Utf8Of(value, 0, complete);
}

bool OthersCanRead(const std::vector<fs::path>&, std::string&) { return true; }

bool MakeSigningKey(SigningKey& key) {
    const CngAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    CngKey made;
    if (!ecdsa.get() ||
        !CngSucceeded(
            BCryptGenerateKeyPair(ecdsa.get(), made.out(), 8 * P256_COORDINATE_BYTES, 0)) ||
        !CngSucceeded(BCryptFinalizeKeyPair(made.get(), 0))) {
        return false;
    }
    SecretBytes blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * P256_COORDINATE_BYTES);
    ULONG size = 0;
    if (!CngSucceeded(BCryptExportKey(made.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                      static_cast<ULONG>(blob.size()), &size, 0)) ||
        size != blob.size()) {
        return false;
    }
    BCRYPT_ECCKEY_BLOB header = {};
    std::memcpy(&header, blob.data(), sizeof(header));
    if (header.dwMagic != BCRYPT_ECDSA_PRIVATE_P256_MAGIC ||
        header.cbKey != P256_COORDINATE_BYTES) {
        return false;
    }
    const unsigned char* point = blob.data() + sizeof(header);
    const unsigned char* d = point + 2 * P256_COORDINATE_BYTES;
    Bytes der(PKCS8_BEFORE_D, PKCS8_BEFORE_D + sizeof(PKCS8_BEFORE_D));
    der.insert(der.end(), d, d + P256_COORDINATE_BYTES);
    der.insert(der.end(), PKCS8_BEFORE_POINT, PKCS8_BEFORE_POINT + sizeof(PKCS8_BEFORE_POINT));
    der.insert(der.end(), point, point + 2 * P256_COORDINATE_BYTES);
    std::string pem = Pem("PRIVATE KEY", der);
    SecureZeroMemory(der.data(), der.size());
    bool read = ReadSigningKey(pem, key);
    SecureZeroMemory(&pem[0], pem.size());
    return read;
}

bool ReadSigningKey(const std::string& privatePem, SigningKey& key) {
    SecretBytes parts(3 * P256_COORDINATE_BYTES);
    if (!KeyParts(privatePem, parts.data())) return false;
    Bytes spki(P256_PUBLIC_KEY_PREFIX, P256_PUBLIC_KEY_PREFIX + sizeof(P256_PUBLIC_KEY_PREFIX));
    spki.insert(spki.end(), parts.data(), parts.data() + 2 * P256_COORDINATE_BYTES);
    unsigned char digest[SHA256_BYTES];
    if (!Sha256(spki.data(), spki.size(), digest)) return false;
    key.privatePem = privatePem;
    key.publicPem = Pem("PUBLIC KEY", spki);
    key.fingerprint = LowerHex(digest, SHA256_BYTES);
    return !key.publicPem.empty();
}

bool SignBytes(const SigningKey& key, const std::string& bytes, std::string& signature) {
    SecretBytes blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * P256_COORDINATE_BYTES);
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PRIVATE_P256_MAGIC,
                                 static_cast<ULONG>(P256_COORDINATE_BYTES)};
    std::memcpy(blob.data(), &header, sizeof(header));
    if (!KeyParts(key.privatePem, blob.data() + sizeof(header))) return false;

    const CngAlgorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    CngKey imported;
    unsigned char digest[SHA256_BYTES];
    unsigned char raw[2 * P256_COORDINATE_BYTES];
    ULONG size = 0;
    if (!ecdsa.get() ||
        !CngSucceeded(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                          imported.out(), blob.data(),
                                          static_cast<ULONG>(blob.size()), 0)) ||
        !Sha256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest) ||
        !CngSucceeded(BCryptSignHash(imported.get(), nullptr, digest, SHA256_BYTES, raw,
                                     sizeof(raw), &size, 0)) ||
        size != sizeof(raw)) {
        return false;
    }
    // CNG gives r and s side by side; the file holds SEQUENCE { r INTEGER, s INTEGER }.
    Bytes integers;
    AppendInteger(integers, raw);
    AppendInteger(integers, raw + P256_COORDINATE_BYTES);
    signature.assign(1, '\x30');
    signature += static_cast<char>(integers.size());
    signature.append(integers.begin(), integers.end());
    // Checked as the updater will check it.
    return VerifySignature(key.publicPem, bytes, signature);
}

OutputLock::~OutputLock() {
    if (token_ != -1) CloseHandle(reinterpret_cast<HANDLE>(token_));
}

bool OutputLock::Take(const fs::path& lockFile, std::string& failure) {
    failure.clear();
    // No sharing: a second open fails for as long as this handle lives.
    HANDLE file = CreateFileW(lockFile.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_SHARING_VIOLATION) failure = SystemReason();
        return false;
    }
    token_ = reinterpret_cast<intptr_t>(file);
    // Wine turns this lock into a POSIX lock on the host file, which keeps a
    // native publisher off the same folder too.
    OVERLAPPED first = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first)) {
        return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) failure = SystemReason();
    return false;
}

std::vector<fs::path> CommandArguments(int, char**) {
    // The narrow argv is in the ANSI code page; the UTF-16 command line has every name.
    std::vector<fs::path> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.emplace_back(std::wstring(wide[i]));
    LocalFree(wide);
    return arguments;
}

void WriteText(bool toError, const std::string& utf8) {
    HANDLE handle = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        std::wstring wide = WideOf(utf8);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    FILE* stream = toError ? stderr : stdout;
    fwrite(utf8.data(), 1, utf8.size(), stream);
    fflush(stream);
}

bool ErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

uint64_t PhysicalMemory() {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

std::string VolumeOf(const fs::path& folder) {
    UniqueHandle handle(CreateFileW(folder.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) return std::string();
    return std::to_string(info.dwVolumeSerialNumber);
}
