#include <gtest/gtest.h>

#include <string>

#include "support/md5.h"
#include "support/unique_handle.h"
#include "tests/test_support.h"

namespace {

struct Vector {
    const char* message;
    const char* digest;
};

// The test suite of RFC 1321, in upper case.
const Vector RFC_VECTORS[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

std::string HexOfDigest(const unsigned char digest[16]) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 15]);
    }
    return text;
}

}  // namespace

TEST(Md5, RfcVectorsAsUpperCaseText) {
    for (const Vector& vector : RFC_VECTORS) {
        const std::string message = vector.message;
        EXPECT_EQ(Md5Hex(message), vector.digest) << message;
        unsigned char digest[16] = {};
        Md5Digest(reinterpret_cast<const unsigned char*>(message.data()),
                  static_cast<int32_t>(message.size()), digest);
        EXPECT_EQ(HexOfDigest(digest), vector.digest) << message;
    }
}

TEST(Md5, ZeroOrNegativeLengthIsTheEmptyMessage) {
    unsigned char digest[16] = {};
    const unsigned char data[] = "abc";
    Md5Digest(data, 0, digest);
    EXPECT_EQ(HexOfDigest(digest), "D41D8CD98F00B204E9800998ECF8427E");
    Md5Digest(data, -5, digest);
    EXPECT_EQ(HexOfDigest(digest), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Md5Hex(nullptr, 0), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(Md5, LengthsAroundTheBlockAndPaddingEdges) {
    // Known digests of runs of 'a' that end just before, on and after the edges.
    EXPECT_EQ(Md5Hex(std::string(55, 'a')), "EF1772B6DFF9A122358552954AD0DF65");
    EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3B0C8AC703F828B04C6C197006D17218");
    EXPECT_EQ(Md5Hex(std::string(63, 'a')), "B06521F39153D618550606BE297466D5");
    EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842D480B571495A4A0363793F7367");
    EXPECT_EQ(Md5Hex(std::string(65, 'a')), "C743A45E0D2E6A95CB859ADAE0248435");
    EXPECT_EQ(Md5Hex(std::string(120, 'a')), "5F61C0CCAD4CAC44C75FF505E1F1E537");
    EXPECT_EQ(Md5Hex(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(Md5, TextIsNeverLowerCase) {
    const std::string text = Md5Hex(std::string("abc"));
    EXPECT_NE(text, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

TEST(Md5OfFile, WholeContentOfAFile) {
    const std::wstring dir = MakeTempDir(L"md5");
    ASSERT_TRUE(WriteBytes(dir + L"f.bin", std::string("message digest")));
    EXPECT_EQ(Md5OfFile(dir + L"f.bin"), "F96B697D7CB7938D525A2F31AAF161D0");
    // Bytes that a text read would change (CR LF, 0x1A, NUL) count as they are.
    const std::string binary("a\r\nb\x1A\0c", 7);
    ASSERT_TRUE(WriteBytes(dir + L"b.bin", binary));
    EXPECT_EQ(Md5OfFile(dir + L"b.bin"), Md5Hex(binary));
    RemoveTree(dir);
}

TEST(Md5OfFile, EmptyMissingOrHeldForWritingGivesEmptyText) {
    const std::wstring dir = MakeTempDir(L"md5");
    ASSERT_TRUE(WriteBytes(dir + L"empty", std::string()));
    EXPECT_EQ(Md5OfFile(dir + L"empty"), "");
    EXPECT_EQ(Md5OfFile(dir + L"missing"), "");

    ASSERT_TRUE(WriteBytes(dir + L"busy", std::string("abc")));
    {
        UniqueHandle writer(CreateFileW((dir + L"busy").c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer.valid());
        EXPECT_EQ(Md5OfFile(dir + L"busy"), "");
    }
    EXPECT_EQ(Md5OfFile(dir + L"busy"), "900150983CD24FB0D6963F7D28E17F72");
    RemoveTree(dir);
}
