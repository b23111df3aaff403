// What the publisher needs from the operating system beyond std::filesystem.
// One source file per platform implements all of it: publish_platform_windows.cpp
// (Win32) and publish_platform_posix.cpp (Linux).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// --- names ---

// The name as UTF-8; false when it has none: an unpaired surrogate on Windows,
// bytes that are not UTF-8 on Linux (there a file name is bytes).
bool PathToUtf8(const std::filesystem::path& path, std::string& utf8);

// The name for messages: never fails; what has no UTF-8 form is marked.
std::string DisplayPath(const std::filesystem::path& path);

// A folder that is a link to another place (symbolic link, junction).
bool IsLinkedFolder(const std::filesystem::path& path);

// Either folder inside the other, or the same, as the platform compares names.
bool FoldersOverlap(const std::filesystem::path& first, const std::filesystem::path& second);

// --- writing and renaming ---

// Writes bytes to a new file and forces them to the disk before it is renamed into place.
bool WriteFileThrough(const std::filesystem::path& path, const std::string& bytes);

// Renames source over target in one step, replacing a file target. On Windows
// a server reading target holds the rename up for a moment: it is retried.
bool RenameOver(const std::filesystem::path& source, const std::filesystem::path& target);

// Puts the folder staged in place of target, which may exist. On success the
// previous target (if any) has moved to aside or to staged, for the caller to
// remove; on failure target is as it was.
bool SwapFolderIn(const std::filesystem::path& staged, const std::filesystem::path& target,
                  const std::filesystem::path& aside);

// MD5 of the whole file as 32 uppercase hexadecimal digits; empty when it
// cannot be read or is empty, as the updater's own digest.
std::string DigestOfFile(const std::filesystem::path& path);

// Creates path, which must not exist yet, holding bytes and forced to the
// disk; ownerOnly keeps other users from reading it where the platform can.
// Nothing is left at path when it fails.
bool WriteNewFile(const std::filesystem::path& path, const std::string& bytes, bool ownerOnly);

// --- durability and the system's reasons ---

// The system's text for the failure of the platform call just made on this
// thread (errno on Linux, GetLastError on Windows).
std::string SystemReason();

// Copies source into a new file target through buffer; reason says which side
// failed and why. The copy is not yet forced to the disk: see FlushToDisk.
bool CopyFileContent(const std::filesystem::path& source, const std::filesystem::path& target,
                     std::vector<char>& buffer, std::string& reason);

// Forces a file, or a folder's entries, to the disk. Windows flushes a folder
// only where the file system allows it; there a folder never fails.
bool FlushToDisk(const std::filesystem::path& path, std::string& reason);

// Another name for file at link (a hard link), or a copy where the file
// system has none.
bool KeepAs(const std::filesystem::path& file, const std::filesystem::path& link,
            std::string& reason);

// What tells this folder from any other on its file system while it exists,
// under whatever name: the inode, the file index (which Wine takes from the
// inode, so both builds agree). Empty when unknown.
std::string FolderIdentity(const std::filesystem::path& folder);

// The value of an environment variable; empty when unset.
std::string EnvironmentValue(const char* name);

// Whether users other than this one (a web server's) can read each of these
// files and folders and pass the folders above them; false with advice when
// they cannot. Always true on Windows, where folders pass their access on.
bool OthersCanRead(const std::vector<std::filesystem::path>& published, std::string& advice);

// --- release signing: ECDSA over P-256 with SHA-256 ---

// A key pair in the forms its files hold. The private half stays where
// releases are made; the public half goes into updater builds.
struct SigningKey {
    std::string privatePem;   // PEM "PRIVATE KEY": PKCS#8, unencrypted
    std::string publicPem;    // PEM "PUBLIC KEY": SubjectPublicKeyInfo
    std::string fingerprint;  // SHA-256 of the public key's DER, lowercase hexadecimal
};

// A new key pair from the platform's own cryptography.
bool MakeSigningKey(SigningKey& key);

// The key pair held in privatePem (the text of a private key file); false
// unless it is an unencrypted PKCS#8 P-256 key in the form openssl writes.
bool ReadSigningKey(const std::string& privatePem, SigningKey& key);

// The DER ECDSA-Sig-Value of bytes, as `openssl dgst -sha256 -sign` writes
// it; false unless it also verifies with the key's public half.
bool SignBytes(const SigningKey& key, const std::string& bytes, std::string& signature);

// --- one publisher per output folder ---

// Held from Take until destruction; a second publisher on the same lock file
// cannot take it meanwhile, whichever build it is (under Wine as well).
class OutputLock {
  public:
    OutputLock() = default;
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;
    ~OutputLock();

    // False when another publisher holds it (failure stays empty) or the
    // file cannot be made or locked (failure: the system's reason).
    bool Take(const std::filesystem::path& lockFile, std::string& failure);

  private:
    intptr_t token_ = -1;  // HANDLE on Windows, descriptor on Linux
};

// --- the command line ---

// The arguments after the program's name, as the platform passed them.
std::vector<std::filesystem::path> CommandArguments(int argc, char** argv);

// Whether standard error is a terminal (a console on Windows): progress is
// shown there and nowhere else.
bool ErrorIsTerminal();

// The machine's physical memory in bytes; 0 when unknown.
uint64_t PhysicalMemory();

// The file system (volume) folder lies on, to compare with another's; empty
// when unknown. Links are followed.
std::string VolumeOf(const std::filesystem::path& folder);

// UTF-8 text to standard output or standard error (a Windows console gets UTF-16).
void WriteText(bool toError, const std::string& utf8);
