// The signature check with fixed vectors made by openssl: a P-256 key pair,
// `openssl dgst -sha256 -sign` over one list line.
#include <gtest/gtest.h>

#include <string>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/server_endpoints.h"
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
