#include <windows.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/archive_writer.h"
#include "tests/test_support.h"

namespace {

uint32_t Read16(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes.at(at)) | (static_cast<uint8_t>(bytes.at(at + 1)) << 8);
}

uint32_t Read32(const std::string& bytes, size_t at) {
    return Read16(bytes, at) | (Read16(bytes, at + 2) << 16);
}

bool HasSignature(const std::string& bytes, size_t at, uint8_t first, uint8_t second) {
    return bytes.size() >= at + 4 && static_cast<uint8_t>(bytes[at]) == 0x0B &&
           static_cast<uint8_t>(bytes[at + 1]) == 0x32 &&
           static_cast<uint8_t>(bytes[at + 2]) == first &&
           static_cast<uint8_t>(bytes[at + 3]) == second;
}

struct CentralEntry {
    uint32_t madeBy, needed, flags, method, dosTime, dosDate, crc, compressedSize, uncompressedSize,
        externalAttributes, localOffset;
    std::string name, extra;
};

// Walks the end record and the central directory the way a reader would.
std::vector<CentralEntry> ReadDirectory(const std::string& archive) {
    std::vector<CentralEntry> entries;
    if (archive.size() < 22) return entries;
    size_t end = archive.size() - 22;
    if (!HasSignature(archive, end, 0x05, 0x06)) return entries;
    size_t count = Read16(archive, end + 10);
    size_t at = Read32(archive, end + 16);
    for (size_t i = 0; i < count && HasSignature(archive, at, 0x01, 0x02); ++i) {
        CentralEntry entry;
        entry.madeBy = Read16(archive, at + 4);
        entry.needed = Read16(archive, at + 6);
        entry.flags = Read16(archive, at + 8);
        entry.method = Read16(archive, at + 10);
        entry.dosTime = Read16(archive, at + 12);
        entry.dosDate = Read16(archive, at + 14);
        entry.crc = Read32(archive, at + 16);
        entry.compressedSize = Read32(archive, at + 20);
        entry.uncompressedSize = Read32(archive, at + 24);
        size_t nameLength = Read16(archive, at + 28);
        size_t extraLength = Read16(archive, at + 30);
        size_t commentLength = Read16(archive, at + 32);
        entry.externalAttributes = Read32(archive, at + 38);
        entry.localOffset = Read32(archive, at + 42);
        entry.name = archive.substr(at + 46, nameLength);
        entry.extra = archive.substr(at + 46 + nameLength, extraLength);
        entries.push_back(entry);
        at += 46 + nameLength + extraLength + commentLength;
    }
    return entries;
}

// The reader's side of the traditional cipher, written out separately.
struct Decryptor {
    uint32_t keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};

    static uint32_t Crc(uint32_t crc, uint8_t byte) {
        for (int bit = 0; bit < 8; ++bit) {
            uint32_t low = (crc ^ byte) & 1;
            crc = (crc >> 1) ^ (low ? 0xEDB88320u : 0);
            byte >>= 1;
        }
        return crc;
    }
    void Update(uint8_t plain) {
        keys[0] = Crc(keys[0], plain);
        keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
        keys[2] = Crc(keys[2], static_cast<uint8_t>(keys[1] >> 24));
    }
    explicit Decryptor(const std::string& password) {
        for (char c : password) Update(static_cast<uint8_t>(c));
    }
    std::string Decrypt(const std::string& cipher) {
        std::string plain(cipher.size(), '\0');
        for (size_t i = 0; i < cipher.size(); ++i) {
            uint32_t temp = (keys[2] | 2) & 0xFFFF;
            uint8_t byte =
                static_cast<uint8_t>(cipher[i]) ^ static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
            Update(byte);
            plain[i] = static_cast<char>(byte);
        }
        return plain;
    }
};

std::string Inflate(const std::string& deflated) {
    z_stream stream = {};
    if (inflateInit2(&stream, -15) != Z_OK) return "<init failed>";
    std::string output;
    std::vector<char> buffer(65536);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
    stream.avail_in = static_cast<uInt>(deflated.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_out = static_cast<uInt>(buffer.size());
        result = inflate(&stream, Z_NO_FLUSH);
        output.append(buffer.data(), buffer.size() - stream.avail_out);
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END ? output : "<bad stream>";
}

uint32_t Crc32(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

struct EntryInput {
    std::wstring name;
    std::string data;
};

// Writes an archive and returns its bytes; the add results go to results.
std::string WriteArchive(const std::wstring& path, const char* password,
                         const std::vector<EntryInput>& inputs,
                         std::vector<uint32_t>* results = nullptr) {
    ArchiveHandle* archive = CreateArchive(path.c_str(), password);
    EXPECT_NE(archive, nullptr);
    if (archive == nullptr) return std::string();
    EXPECT_EQ(LastArchiveError, ARCHIVE_OK);
    for (const EntryInput& input : inputs) {
        uint32_t result =
            AddArchiveEntry(archive, input.name.c_str(), input.data.data(), input.data.size());
        if (results != nullptr)
            results->push_back(result);
        else
            EXPECT_EQ(result, ARCHIVE_OK);
    }
    EXPECT_EQ(CloseArchive(archive), ARCHIVE_OK);
    EXPECT_EQ(LastArchiveError, ARCHIVE_OK);
    return ReadBytes(path);
}

std::string LargeText() {
    std::string text;
    for (int line = 0; text.size() < (1u << 20); ++line) {
        text += "line " + std::to_string(line) + " value=" + std::to_string(line * 7919 % 10007) +
                "\r\n";
    }
    text.resize(1u << 20);
    return text;
}

class ArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = MakeTempDir(L"archive"); }
    void TearDown() override { RemoveTree(dir_); }
    std::wstring dir_;
};

TEST_F(ArchiveTest, EncryptedEntryHasTheDescribedLayout) {
    const std::string text = "ver=1.31\r\n";
    std::string bytes = WriteArchive(dir_ + L"config.ini", "secret", {{L"qz", text}});

    ASSERT_TRUE(HasSignature(bytes, 0, 0x03, 0x04));
    EXPECT_EQ(Read16(bytes, 4), 20u);
    EXPECT_EQ(Read16(bytes, 6), 9u);   // encrypted, descriptor follows
    EXPECT_EQ(Read16(bytes, 8), 8u);   // deflate
    EXPECT_EQ(Read32(bytes, 14), 0u);  // CRC
    EXPECT_EQ(Read32(bytes, 18), 0u);  // compressed size
    EXPECT_EQ(Read32(bytes, 22), text.size());
    EXPECT_EQ(Read16(bytes, 26), 2u);
    EXPECT_EQ(Read16(bytes, 28), 17u);
    EXPECT_EQ(bytes.substr(30, 2), "qz");
    const std::string extra = bytes.substr(32, 17);
    EXPECT_EQ(extra.substr(0, 5), std::string("\x55\x54\x0D\x00\x07", 5));
    EXPECT_EQ(Read32(extra, 5), Read32(extra, 9));
    EXPECT_EQ(Read32(extra, 5), Read32(extra, 13));

    std::vector<CentralEntry> entries = ReadDirectory(bytes);
    ASSERT_EQ(entries.size(), 1u);
    const CentralEntry& entry = entries[0];
    EXPECT_EQ(entry.madeBy, 0x0B17u);
    EXPECT_EQ(entry.needed, 20u);
    EXPECT_EQ(entry.flags, 9u);
    EXPECT_EQ(entry.method, 8u);
    EXPECT_EQ(entry.dosTime, Read16(bytes, 10));
    EXPECT_EQ(entry.dosDate, Read16(bytes, 12));
    EXPECT_EQ(entry.crc, Crc32(text));
    EXPECT_EQ(entry.uncompressedSize, text.size());
    EXPECT_EQ(entry.externalAttributes, 0x80000000u);
    EXPECT_EQ(entry.localOffset, 0u);
    EXPECT_EQ(entry.name, "qz");
    EXPECT_EQ(entry.extra, extra.substr(0, 2) + std::string("\x05\x00", 2) + extra.substr(4, 5));

    // Header, encryption header and data, then the descriptor with the real values.
    size_t descriptor = 49 + entry.compressedSize;
    ASSERT_TRUE(HasSignature(bytes, descriptor, 0x07, 0x08));
    EXPECT_EQ(Read32(bytes, descriptor + 4), Crc32(text));
    EXPECT_EQ(Read32(bytes, descriptor + 8), entry.compressedSize);
    EXPECT_EQ(Read32(bytes, descriptor + 12), text.size());

    size_t central = descriptor + 16;
    ASSERT_TRUE(HasSignature(bytes, central, 0x01, 0x02));
    size_t end = central + 46 + 2 + 9;
    ASSERT_EQ(bytes.size(), end + 22);
    ASSERT_TRUE(HasSignature(bytes, end, 0x05, 0x06));
    EXPECT_EQ(Read16(bytes, end + 4), 0u);
    EXPECT_EQ(Read16(bytes, end + 6), 0u);
    EXPECT_EQ(Read16(bytes, end + 8), 1u);
    EXPECT_EQ(Read16(bytes, end + 10), 1u);
    EXPECT_EQ(Read32(bytes, end + 12), 57u);
    EXPECT_EQ(Read32(bytes, end + 16), central);
    EXPECT_EQ(Read16(bytes, end + 20), 0u);

    // Decrypting gives the check byte, then a deflate stream of the text.
    Decryptor decryptor("secret");
    std::string plain = decryptor.Decrypt(bytes.substr(49, entry.compressedSize));
    EXPECT_EQ(static_cast<uint8_t>(plain[11]), (entry.dosTime >> 8) & 0xFF);
    EXPECT_EQ(Inflate(plain.substr(12)), text);
}

TEST_F(ArchiveTest, TimesAreTheLocalTimeInBothForms) {
    SYSTEMTIME before = {};
    GetLocalTime(&before);
    std::string bytes = WriteArchive(dir_ + L"a.zipx", nullptr, {{L"qz", "x"}});
    SYSTEMTIME after = {};
    GetLocalTime(&after);

    uint32_t dosTime = Read16(bytes, 10);
    uint32_t dosDate = Read16(bytes, 12);
    uint32_t year = 1980 + (dosDate >> 9);
    EXPECT_TRUE(year == before.wYear || year == after.wYear);
    EXPECT_GE((dosDate >> 5) & 15, 1u);
    EXPECT_LE((dosDate >> 5) & 15, 12u);

    // The second count is the same local time read as UTC.
    uint64_t seconds = Read32(bytes, 30 + 2 + 5);
    uint64_t ticks = seconds * 10000000u + 116444736000000000ULL;
    FILETIME fileTime = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME decoded = {};
    ASSERT_TRUE(FileTimeToSystemTime(&fileTime, &decoded));
    EXPECT_EQ(decoded.wYear, year);
    EXPECT_EQ(decoded.wMonth, (dosDate >> 5) & 15);
    EXPECT_EQ(decoded.wDay, dosDate & 31);
    EXPECT_EQ(decoded.wHour, dosTime >> 11);
    EXPECT_EQ(decoded.wMinute, (dosTime >> 5) & 63);
    EXPECT_EQ(decoded.wSecond / 2u, dosTime & 31);
}

TEST_F(ArchiveTest, WithoutPasswordTheLocalHeaderIsRewritten) {
    const std::string text = LargeText();
    for (const char* password : {static_cast<const char*>(nullptr), ""}) {
        std::string bytes = WriteArchive(dir_ + L"plain.bin", password, {{L"big.txt", text}});
        std::vector<CentralEntry> entries = ReadDirectory(bytes);
        ASSERT_EQ(entries.size(), 1u);
        const CentralEntry& entry = entries[0];
        EXPECT_EQ(Read16(bytes, 6), 2u);  // no descriptor; level 8 is maximum compression
        EXPECT_EQ(entry.flags, 2u);
        EXPECT_EQ(Read32(bytes, 14), Crc32(text));
        EXPECT_EQ(Read32(bytes, 18), entry.compressedSize);
        EXPECT_EQ(Read32(bytes, 22), text.size());
        EXPECT_EQ(entry.crc, Crc32(text));
        EXPECT_LT(entry.compressedSize, text.size());
        size_t data = 30 + 7 + 17;
        EXPECT_EQ(Inflate(bytes.substr(data, entry.compressedSize)), text);
        // The central directory follows the data directly.
        EXPECT_TRUE(HasSignature(bytes, data + entry.compressedSize, 0x01, 0x02));
    }
}

TEST_F(ArchiveTest, SeveralEntriesAreListedInOrderWithTheirOffsets) {
    std::vector<EntryInput> inputs = {
        {L"first.txt", "one\r\n"}, {L"dir\\second.txt", LargeText()}, {L"third", "3"}};
    std::string bytes = WriteArchive(dir_ + L"many.bin", "pw", inputs);
    std::vector<CentralEntry> entries = ReadDirectory(bytes);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "first.txt");
    EXPECT_EQ(entries[1].name, "dir/second.txt");
    EXPECT_EQ(entries[2].name, "third");
    size_t expectedOffset = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const CentralEntry& entry = entries[i];
        EXPECT_EQ(entry.localOffset, expectedOffset);
        ASSERT_TRUE(HasSignature(bytes, entry.localOffset, 0x03, 0x04));
        EXPECT_EQ(Read16(bytes, entry.localOffset + 26), entry.name.size());
        EXPECT_EQ(bytes.substr(entry.localOffset + 30, entry.name.size()), entry.name);
        size_t data = entry.localOffset + 30 + entry.name.size() + 17;
        Decryptor decryptor("pw");
        std::string plain = decryptor.Decrypt(bytes.substr(data, entry.compressedSize));
        EXPECT_EQ(static_cast<uint8_t>(plain[11]), (entry.dosTime >> 8) & 0xFF);
        EXPECT_EQ(Inflate(plain.substr(12)), inputs[i].data);
        EXPECT_EQ(entry.crc, Crc32(inputs[i].data));
        expectedOffset = data + entry.compressedSize + 16;
    }
}

TEST_F(ArchiveTest, ArchiveExtensionsAreStored) {
    const std::string data = "PK\x03\x04 not really compressed again";
    std::vector<EntryInput> inputs;
    for (const wchar_t* name : {L"data.ZIP", L"a.Z", L"b.z", L"c.zoo", L"d.arc", L"e.lzh", L"f.arj",
                                L"g.gz", L"h.TGZ", L"i.zip.txt", L"zip", L"j.zipx", L"k.gzip"}) {
        inputs.push_back({name, data});
    }
    std::string bytes = WriteArchive(dir_ + L"stored.bin", nullptr, inputs);
    std::vector<CentralEntry> entries = ReadDirectory(bytes);
    ASSERT_EQ(entries.size(), inputs.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        bool stored = i < 9;
        EXPECT_EQ(entries[i].method, stored ? 0u : 8u) << entries[i].name;
        EXPECT_EQ(entries[i].flags, stored ? 0u : 2u) << entries[i].name;
        if (stored) {
            EXPECT_EQ(entries[i].compressedSize, data.size());
            size_t at = entries[i].localOffset + 30 + entries[i].name.size() + 17;
            EXPECT_EQ(bytes.substr(at, data.size()), data);
        }
    }

    // Encrypted and stored: the sizes count the encryption header from the start.
    bytes = WriteArchive(dir_ + L"stored-pw.bin", "pw", {{L"data.zip", data}});
    EXPECT_EQ(Read16(bytes, 6), 9u);
    EXPECT_EQ(Read16(bytes, 8), 0u);
    EXPECT_EQ(Read32(bytes, 18), data.size() + 12);
    Decryptor decryptor("pw");
    EXPECT_EQ(decryptor.Decrypt(bytes.substr(30 + 8 + 17, data.size() + 12)).substr(12), data);
}

TEST_F(ArchiveTest, LongNamesAreCut) {
    std::wstring name(300, L'n');
    std::string bytes = WriteArchive(dir_ + L"long.bin", nullptr, {{name, "x"}});
    std::vector<CentralEntry> entries = ReadDirectory(bytes);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, std::string(259, 'n'));

    // Wide characters: the UTF-8 form is cut at a character boundary.
    std::wstring chinese(200, L'\x4E2D');
    bytes = WriteArchive(dir_ + L"long.bin", nullptr, {{chinese, "x"}});
    entries = ReadDirectory(bytes);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name.size(), 258u);
    EXPECT_EQ(entries[0].name.substr(0, 3), "\xE4\xB8\xAD");
}

TEST_F(ArchiveTest, RefusedEntriesWriteNothing) {
    const std::wstring path = dir_ + L"refused.bin";
    ArchiveHandle* archive = CreateArchive(path.c_str(), "pw");
    ASSERT_NE(archive, nullptr);
    const char data[] = "abc";
    EXPECT_EQ(AddArchiveEntry(archive, L"", data, 3), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(AddArchiveEntry(archive, nullptr, data, 3), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(AddArchiveEntry(archive, L"qz", nullptr, 3), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(AddArchiveEntry(archive, L"qz", data, 0), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(CloseArchive(archive), ARCHIVE_OK);
    EXPECT_EQ(LastArchiveError, ARCHIVE_OK);
    std::string bytes = ReadBytes(path);
    ASSERT_EQ(bytes.size(), 22u);
    EXPECT_TRUE(HasSignature(bytes, 0, 0x05, 0x06));
    EXPECT_EQ(bytes.substr(4), std::string(18, '\0'));
}

TEST_F(ArchiveTest, MissingAndForeignHandlesAreRefused) {
    LastArchiveError = ARCHIVE_OK;
    EXPECT_EQ(AddArchiveEntry(nullptr, L"qz", "a", 1), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(CloseArchive(nullptr), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(LastArchiveError, ARCHIVE_BAD_ARGUMENT);

    ArchiveHandle foreign;
    foreign.kind = 7;
    EXPECT_EQ(AddArchiveEntry(&foreign, L"qz", "a", 1), ARCHIVE_NOT_A_WRITER);
    EXPECT_EQ(CloseArchive(&foreign), ARCHIVE_NOT_A_WRITER);
    EXPECT_EQ(LastArchiveError, ARCHIVE_NOT_A_WRITER);
    EXPECT_EQ(foreign.kind, 7u);  // not released: it is not ours
}

TEST_F(ArchiveTest, CreationFailuresAreReported) {
    const std::wstring missing = dir_ + L"no such folder\\a.bin";
    EXPECT_EQ(CreateArchive(missing.c_str(), "pw"), nullptr);
    EXPECT_EQ(LastArchiveError, ARCHIVE_CREATE_FAILED);
    EXPECT_EQ(CreateArchive(L"", nullptr), nullptr);
    EXPECT_EQ(LastArchiveError, ARCHIVE_CREATE_FAILED);
    EXPECT_EQ(CreateArchive(nullptr, nullptr), nullptr);
    EXPECT_EQ(LastArchiveError, ARCHIVE_CREATE_FAILED);

    // A file held open without sharing cannot be replaced.
    const std::wstring held = dir_ + L"held.bin";
    ASSERT_TRUE(WriteBytes(held, "keep"));
    HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateArchive(held.c_str(), nullptr), nullptr);
    EXPECT_EQ(LastArchiveError, ARCHIVE_CREATE_FAILED);
    CloseHandle(holder);
    EXPECT_EQ(ReadBytes(held), "keep");

    // A later success clears the code.
    ArchiveHandle* archive = CreateArchive(held.c_str(), nullptr);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(LastArchiveError, ARCHIVE_OK);
    EXPECT_EQ(CloseArchive(archive), ARCHIVE_OK);
}

TEST_F(ArchiveTest, TheFileIsReplacedAndHeldWithoutSharing) {
    const std::wstring path = dir_ + L"config.ini";
    ASSERT_TRUE(WriteBytes(path, std::string(5000, 'o')));
    ArchiveHandle* archive = CreateArchive(path.c_str(), "pw");
    ASSERT_NE(archive, nullptr);
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    EXPECT_EQ(AddArchiveEntry(archive, L"qz", "ver=1\r\n", 7), ARCHIVE_OK);
    EXPECT_EQ(CloseArchive(archive), ARCHIVE_OK);
    std::string bytes = ReadBytes(path);
    EXPECT_TRUE(HasSignature(bytes, 0, 0x03, 0x04));
    EXPECT_EQ(ReadDirectory(bytes).size(), 1u);
}

TEST_F(ArchiveTest, FailedWritesAreReported) {
    // A pipe whose reader has gone refuses every write.
    const std::wstring pipe =
        L"\\\\.\\pipe\\veldra-archive-" + std::to_wstring(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                     4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    ArchiveHandle* archive = CreateArchive(pipe.c_str(), "pw");
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(LastArchiveError, ARCHIVE_OK);
    CloseHandle(server);
    EXPECT_EQ(AddArchiveEntry(archive, L"qz", "ver=1\r\n", 7), ARCHIVE_WRITE_FAILED);
    EXPECT_EQ(CloseArchive(archive), ARCHIVE_WRITE_FAILED);
    EXPECT_EQ(LastArchiveError, ARCHIVE_WRITE_FAILED);
}

}  // namespace
