#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/delta_index.h"
#include "support/delta_patch.h"
#include "support/md5.h"

namespace {

// Two "builds": a pseudo-random body, the second with a few edits and an
// insertion, the shape of a rebuilt program.
std::string Body(uint32_t seed, size_t size) {
    std::string bytes(size, '\0');
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<char>(seed >> 24);
    }
    return bytes;
}

struct Pair {
    std::string reference = Body(7, 300000);
    std::string target;
    Pair() {
        target = reference;
        target.replace(1000, 64, std::string(64, 'x'));
        target.insert(150000, Body(9, 5000));
        target.erase(250000, 3000);
    }
};

std::string MakeOrFail(const std::string& reference, const std::string& target) {
    std::string patch;
    EXPECT_TRUE(MakePatch(reference, target, patch));
    return patch;
}

PatchRefusal ApplyRefusal(const std::string& reference, const std::string& patch, uint64_t size) {
    std::string result = "stale";
    PatchRefusal why = PatchRefusal::None;
    EXPECT_FALSE(ApplyPatch(reference, patch, size, result, &why));
    EXPECT_TRUE(result.empty());
    return why;
}

TEST(DeltaPatch, RoundTripIsSmallAndExact) {
    Pair pair;
    const std::string patch = MakeOrFail(pair.reference, pair.target);
    EXPECT_LT(patch.size(), pair.target.size() / 20);
    EXPECT_EQ(patch, MakeOrFail(pair.reference, pair.target));  // deterministic
    std::string result;
    PatchRefusal why = PatchRefusal::Corrupt;
    ASSERT_TRUE(ApplyPatch(pair.reference, patch, pair.target.size(), result, &why));
    EXPECT_EQ(why, PatchRefusal::None);
    EXPECT_EQ(Md5Hex(result), Md5Hex(pair.target));
    // Empty files on either side still round-trip.
    const std::string toEmpty = MakeOrFail(pair.reference, "");
    ASSERT_TRUE(ApplyPatch(pair.reference, toEmpty, 0, result, nullptr));
    EXPECT_TRUE(result.empty());
    ASSERT_TRUE(ApplyPatch("", MakeOrFail("", "abc"), 3, result, nullptr));
    EXPECT_EQ(result, "abc");
}

TEST(DeltaPatch, RefusesWhatIsNotOneGoodFrame) {
    Pair pair;
    const std::string patch = MakeOrFail(pair.reference, pair.target);
    const uint64_t size = pair.target.size();
    EXPECT_EQ(ApplyRefusal(pair.reference, "", size), PatchRefusal::NotOneFrame);
    EXPECT_EQ(ApplyRefusal(pair.reference, patch + patch, size), PatchRefusal::NotOneFrame);
    EXPECT_EQ(ApplyRefusal(pair.reference, patch + "x", size), PatchRefusal::NotOneFrame);
    EXPECT_EQ(ApplyRefusal(pair.reference, patch.substr(0, patch.size() - 5), size),
              PatchRefusal::Corrupt);
    EXPECT_EQ(ApplyRefusal(pair.reference, patch, size - 1), PatchRefusal::WrongSize);
    EXPECT_EQ(ApplyRefusal(pair.reference, patch, kMaxPatchedFileSize + 1), PatchRefusal::TooLarge);
    std::string corrupt = patch;
    corrupt[corrupt.size() / 2] ^= 0x55;
    EXPECT_EQ(ApplyRefusal(pair.reference, corrupt, size), PatchRefusal::Corrupt);
    // The wrong reference: the checksum catches what the matches get wrong.
    std::string otherReference = pair.reference;
    otherReference[2000] ^= 1;
    EXPECT_EQ(ApplyRefusal(otherReference, patch, size), PatchRefusal::Corrupt);
    // A skippable frame (magic 0x184D2A50, 4 bytes of payload) decodes to nothing.
    const std::string skippable(
        "\x50\x2A\x4D\x18\x04\x00\x00\x00"
        "abcd",
        12);
    EXPECT_EQ(ApplyRefusal(pair.reference, skippable, 0), PatchRefusal::Corrupt);
}

TEST(DeltaPatch, RefusesFramesWithoutSizeOrWithHugeWindow) {
    // Hand-made frame headers: magic, descriptor, then a raw block of "abc".
    const std::string rawBlock(
        "\x19\x00\x00"
        "abc",
        6);
    // Descriptor 0x00: no content size, window descriptor follows.
    std::string noSize("\x28\xB5\x2F\xFD\x00\x00", 6);
    EXPECT_EQ(ApplyRefusal("", noSize + rawBlock, 3), PatchRefusal::NoContentSize);
    // Descriptor 0x00 with content size flag 2 (4 bytes) and window descriptor
    // exponent 20: a 2^30 window, above the limit.
    std::string hugeWindow("\x28\xB5\x2F\xFD\x80\xA0\x03\x00\x00\x00", 10);
    EXPECT_EQ(ApplyRefusal("", hugeWindow + rawBlock, 3), PatchRefusal::WindowTooLarge);
}

TEST(DeltaIndex, FormatsSortedAndParsesBack) {
    const std::string a(32, 'A'), b(32, 'B'), c(32, 'C');
    std::vector<DeltaEntry> entries = {
        {"plugins\\z.dll", b, a, 900},
        {"bin\\数据.dat", c, a, 12},
        {"bin\\数据.dat", c, b, 7},
        {"a=b.txt", b, c, 1},
    };
    const std::string bytes = FormatDeltaIndex(entries);
    EXPECT_EQ(bytes, "a=b.txt=" + b + "=" + c + "=1\r\n" + "bin\\数据.dat=" + c + "=" + a +
                         "=12\r\n" + "bin\\数据.dat=" + c + "=" + b + "=7\r\n" +
                         "plugins\\z.dll=" + b + "=" + a + "=900\r\n");
    std::vector<DeltaEntry> parsed;
    ASSERT_TRUE(ParseDeltaIndex(bytes, parsed));
    ASSERT_EQ(parsed.size(), 4u);
    EXPECT_EQ(FormatDeltaIndex(parsed), bytes);
    const auto hit = FindDeltaPatch(parsed, "bin\\数据.dat", b);
    ASSERT_TRUE(hit.has_value());
    EXPECT_EQ(hit->newMd5, c);
    EXPECT_EQ(hit->patchSize, 7u);
    EXPECT_EQ(FindDeltaPatch(parsed, "a=b.txt", c)->newMd5, b);
    EXPECT_FALSE(FindDeltaPatch(parsed, "bin\\数据.dat", c).has_value());
    EXPECT_FALSE(FindDeltaPatch(parsed, "bin/数据.dat", a).has_value());
    EXPECT_EQ(DeltaPatchPath(a, c), "comm/delta/" + a + "-" + c + ".zst");
}

TEST(DeltaIndex, SkipsGarbageAndImpossibleSizes) {
    const std::string a(32, 'A'), b(32, 'B');
    const std::string good = "x.dll=" + b + "=" + a + "=5\n";
    const std::string bytes = std::string("garbage\r\n\r\n=") + b + "=" + a + "=5\r\n" +
                              "y.dll=" + b + "=" + a + "=0\r\n" +          // zero
                              "y.dll=" + b + "=" + a + "=-3\r\n" +         // sign
                              "y.dll=" + b + "=" + a + "=268435457\r\n" +  // too large
                              "y.dll=" + b + "=" + a + "=99999999999999999999\r\n" + "y.dll=" + b +
                              "=" + a + "=5 \r\n" +                                   // trailing
                              "y.dll=" + std::string(32, 'b') + "=" + a + "=5\r\n" +  // case
                              "y.dll=" + a + "=" + a + "=5\r\n" +                     // same MD5
                              "y.dll=" + b + "=" + a.substr(1) + "=5\r\n" + good + "z.dll=" + b +
                              "=" + a;  // cut short
    std::vector<DeltaEntry> parsed;
    ASSERT_TRUE(ParseDeltaIndex(bytes, parsed));
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].path, "x.dll");
    EXPECT_EQ(parsed[0].patchSize, 5u);
    ASSERT_TRUE(ParseDeltaIndex("y.dll=" + b + "=" + a + "=268435456", parsed));
    EXPECT_EQ(parsed.size(), 1u);

    std::string huge = good;
    while (huge.size() <= kMaxDeltaIndexBytes) huge += huge;
    EXPECT_FALSE(ParseDeltaIndex(huge, parsed));
    EXPECT_TRUE(parsed.empty());
}

}  // namespace
