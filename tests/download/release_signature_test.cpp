// The signature check with fixed vectors made by openssl: a P-256 key pair,
// `openssl dgst -sha256 -sign` over one list line; the release statement's
// form and the rules it is accepted by.
#include <gtest/gtest.h>

#include <string>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/release_statement.h"
#include "engine/server_endpoints.h"
#include "support/file_digests.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"

namespace {

const std::string PUBLIC_KEY =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE2d5sY8Yiht5ry4wyF3a8PJBmki+d\n"
    "DOZ0qBCs9gvBh1Vd0SkX8SvtluMFUwOPp0F+x4TvQNWF2JkHkTFZQ0uu9A==\n"
    "-----END PUBLIC KEY-----\n";

const std::string MESSAGE = "data/readme.txt=0123456789ABCDEF0123456789ABCDEF=12\r\n";

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// Both integers of 32 bytes.
const std::string SIGNATURE = Unhex(
    "304402200c62da32fd478ac3f1b4366a23a6356c1b6044152ca466a3f56e5a4f64940d6602204fdea723293e"
    "f00926d667e13aa3f4bcf6f84547c0deb6e9d41eac62379557b9");
// r of 31 bytes.
const std::string SHORT_SIGNATURE = Unhex(
    "3043021f1b475ff63b1480712337e4a16103b5902e6f38023a543400a33ac39a0f52000220353be0aeaaac68"
    "03d7e4b8d68ad9d0bd2c370e0fdc521f0f84f6a9c49594b09c");
// Made with another key; its s has a leading zero byte.
const std::string FOREIGN_SIGNATURE = Unhex(
    "3045022075466b8baab71ce638d698709422e67bcb9ca40661b1edfbbcac526d2ff0328a022100843552f1d0"
    "d52521c04500ab3fc486b609004616fd7b6a0f9b3369bf60a86151");

std::string FlipBit(std::string text, size_t at) {
    text[at] = static_cast<char>(text[at] ^ 0x01);
    return text;
}

}  // namespace

TEST(ReleaseSignature, SignaturesOfTheKeyVerify) {
    EXPECT_TRUE(VerifySignature(PUBLIC_KEY, MESSAGE, SIGNATURE));
    EXPECT_TRUE(VerifySignature(PUBLIC_KEY, MESSAGE, SHORT_SIGNATURE));
}

TEST(ReleaseSignature, AnythingElseIsRefused) {
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, MESSAGE, FOREIGN_SIGNATURE));
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, FlipBit(MESSAGE, 3), SIGNATURE));
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, MESSAGE + "x", SIGNATURE));
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, MESSAGE, FlipBit(SIGNATURE, 40)));
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, MESSAGE, ""));
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, MESSAGE, SIGNATURE.substr(0, 40)));
    EXPECT_FALSE(VerifySignature(PUBLIC_KEY, MESSAGE, SIGNATURE + '\0'));
    // The raw r and s without their DER frame.
    EXPECT_FALSE(
        VerifySignature(PUBLIC_KEY, MESSAGE, SIGNATURE.substr(4, 32) + SIGNATURE.substr(38)));
    EXPECT_FALSE(VerifySignature("", MESSAGE, SIGNATURE));
    EXPECT_FALSE(VerifySignature(FlipBit(PUBLIC_KEY, 40), MESSAGE, SIGNATURE));
}

TEST(ReleaseSignature, ABuildWithoutAKeyChecksNothing) {
    EXPECT_FALSE(ReleaseSigningEnabled());
    EXPECT_STREQ(ReleasePublicKeyPem(), "");
}

TEST(ReleaseSignature, SignedFetchWritesOnlyWhatTheKeySigned) {
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    const std::wstring compiledBase = DownloadBaseUrl();
    SetDownloadBaseUrlForTesting(server.baseUrl());
    const std::wstring dir = MakeTempDir(L"signed");
    const std::wstring target = dir + L"file.lst";
    ASSERT_TRUE(WriteBytes(target, "old list"));
    server.AddRoute("/file.lst", 200, MESSAGE);
    // No signature, an empty, a cut and a foreign one.
    EXPECT_EQ(DownloadSignedFile(L"/file.lst", target, PUBLIC_KEY), DOWNLOAD_EMPTY);
    for (const std::string& signature :
         {std::string(), SIGNATURE.substr(0, 30), FOREIGN_SIGNATURE}) {
        server.AddRoute("/file.lst.sig", 200, signature);
        EXPECT_EQ(DownloadSignedFile(L"/file.lst", target, PUBLIC_KEY), DOWNLOAD_EMPTY);
        EXPECT_EQ(ReadBytes(target), "old list");
    }
    // A list changed after it was signed.
    server.AddRoute("/file.lst.sig", 200, SIGNATURE);
    server.AddRoute("/file.lst", 200, MESSAGE + "extra.txt=0123456789ABCDEF0123456789ABCDEF=1\r\n");
    EXPECT_EQ(DownloadSignedFile(L"/file.lst", target, PUBLIC_KEY), DOWNLOAD_EMPTY);
    EXPECT_EQ(ReadBytes(target), "old list");
    server.AddRoute("/file.lst", 200, MESSAGE);
    EXPECT_EQ(DownloadSignedFile(L"/file.lst", target, PUBLIC_KEY), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), MESSAGE);
    SetDownloadBaseUrlForTesting(compiledBase);
    RemoveTree(dir);
}

namespace {

ReleaseStatement Stated(int minor, long long issued, bool rollback = false) {
    ReleaseStatement statement;
    statement.major = 1;
    statement.minor = minor;
    statement.lastVer = 100 + minor;
    statement.listSha256 = statement.filesSha256 = statement.mainSha256 = std::string(64, 'a');
    statement.issued = issued;
    statement.rollback = rollback;
    return statement;
}

}  // namespace

TEST(ReleaseStatement, OnlyTheExactFormParses) {
    ReleaseStatement statement = Stated(32, 1765432100);
    statement.expires = statement.issued + 86400;
    const std::string text = StatementText(statement);
    EXPECT_EQ(text.substr(0, 29), "version=1.32.0\r\nlastVer=132\r\n");
    EXPECT_NE(text.find("issued=2025-12-11T05:48:20Z\r\nexpires=2025-12-12T05:48:20Z\r\n"
                        "rollback=0\r\n"),
              std::string::npos);
    ReleaseStatement read;
    ASSERT_TRUE(ParseStatementText(text, read));
    EXPECT_EQ(StatementText(read), text);
    const auto swapped = [&](const std::string& from, const std::string& to) {
        std::string changed = text;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    for (const std::string& bad :
         {text.substr(0, text.size() - 2), text + "\r\n", "\xEF\xBB\xBF" + text,
          swapped("lastVer=132\r\n", "lastVer=132\n"), swapped("version=1.32.0", "version=1.032.0"),
          swapped("version=1.32.0", "version=1.320.0"), swapped("lastVer=132", "lastVer=0132"),
          swapped("list-sha256=a", "list-sha256=A"), swapped("12T05", "32T05"),
          swapped("rollback=0", "rollback=2"), swapped("expires=2025-12-12T05:48:20Z", "expires="),
          swapped("version=1.32.0\r\nlastVer=132", "lastVer=132\r\nversion=1.32.0")}) {
        EXPECT_FALSE(ParseStatementText(bad, read)) << bad;
    }
    EXPECT_TRUE(ParseStatementText(swapped("expires=2025-12-12T05:48:20Z", "expires=never"), read));
    EXPECT_EQ(read.expires, STATEMENT_NEVER_EXPIRES);
}

TEST(ReleaseStatement, AcceptedOnlyForTheAnnouncedNumberNeitherOlderNorExpired) {
    const long long now = 1765432100;
    const ReleaseStatement kept = Stated(32, now - 1000);
    const AnnouncedRelease announced{132, "1.31.0"};
    EXPECT_EQ(StatementRefusal(Stated(32, now - 10), announced, &kept, now), "");
    EXPECT_EQ(StatementRefusal(Stated(32, now - 10), announced, nullptr, now), "");
    EXPECT_NE(StatementRefusal(Stated(32, now), AnnouncedRelease{133, "1.31.0"}, &kept, now), "");
    ReleaseStatement expired = Stated(32, now - 100);
    expired.expires = now;
    EXPECT_NE(StatementRefusal(expired, announced, &kept, now), "");
    // Replayed older release: below what is installed, or below what was accepted.
    EXPECT_NE(StatementRefusal(Stated(31, now), AnnouncedRelease{131, "1.32.0"}, nullptr, now), "");
    EXPECT_NE(StatementRefusal(Stated(31, now), AnnouncedRelease{131, "1.30.0"}, &kept, now), "");
    // A rollback goes back only when issued after the statement accepted last.
    EXPECT_EQ(StatementRefusal(Stated(31, now, true), AnnouncedRelease{131, "1.32.0"}, &kept, now),
              "");
    EXPECT_NE(
        StatementRefusal(Stated(31, now - 2000, true), AnnouncedRelease{131, "1.32.0"}, &kept, now),
        "");
    EXPECT_NE(
        StatementRefusal(Stated(31, now, true), AnnouncedRelease{131, "1.32.0"}, nullptr, now), "");
}

TEST(ReleaseStatement, FileDigestsFollowTheList) {
    const std::string list = "a.txt=0123456789ABCDEF0123456789ABCDEF=3\r\nb\\c=0123=4\r\n";
    const std::string sha(64, '0');
    std::vector<std::pair<std::string, std::string>> digests;
    ASSERT_TRUE(ParseFileDigests("a.txt=" + sha + "\r\nb\\c=" + sha + "\r\n", list, digests));
    EXPECT_EQ(digests.size(), 2u);
    EXPECT_FALSE(ParseFileDigests("b\\c=" + sha + "\r\na.txt=" + sha + "\r\n", list, digests));
    EXPECT_FALSE(ParseFileDigests("a.txt=" + sha + "\r\n", list, digests));
    // SHA-256 of "abc", through CNG, in one pass with the MD5.
    const std::wstring dir = MakeTempDir(L"digests");
    ASSERT_TRUE(WriteBytes(dir + L"abc", "abc"));
    const FileDigests both = DigestsOfFile(dir + L"abc", true);
    EXPECT_EQ(both.md5, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(both.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(DigestsOfFile(dir + L"abc", false).sha256, "");
    RemoveTree(dir);
}
