// The engine as a build with a release key has it (the throwaway test key).
#include <string>

#include <gtest/gtest.h>

#include "engine/download.h"
#include "engine/release_signature.h"
#include "engine/server_endpoints.h"
#include "support/file_digests.h"
#include "support/md5.h"
#include "tests/http_test_server.h"
#include "tests/test_support.h"

TEST(SignedBuild, AListedFileIsWrittenOnlyWithTheVerifiedListsDigest) {
    ASSERT_TRUE(ReleaseSigningEnabled());
    HttpTestServer server;
    ASSERT_TRUE(server.Start());
    SetDownloadBaseUrlForTesting(server.baseUrl());
    const std::wstring dir = MakeTempDir(L"signed-build");
    const std::wstring target = dir + L"f.txt";
    ASSERT_TRUE(WriteBytes(target, "local"));
    const std::string listed = Md5Hex(std::string("listed"));
    const std::string stated = Sha256Hex(std::string("listed"));
    server.AddRoute("/f", 200, "other");
    EXPECT_EQ(DownloadFile(L"/f", target, listed, nullptr, 0, stated), DOWNLOAD_MD5_MISMATCH);
    EXPECT_EQ(ReadBytes(target), "local");
    server.AddRoute("/f", 200, "listed");
    // The list's digest alone is not enough: the statement's SHA-256 binds the bytes.
    EXPECT_EQ(DownloadFile(L"/f", target, listed, nullptr, 0, Sha256Hex(std::string("x"))),
              DOWNLOAD_MD5_MISMATCH);
    EXPECT_EQ(ReadBytes(target), "local");
    EXPECT_EQ(DownloadFile(L"/f", target, listed, nullptr, 0, stated), DOWNLOAD_OK);
    EXPECT_EQ(ReadBytes(target), "listed");
    server.Stop();
    RemoveTree(dir);
}
