#include "frame/long_play.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

// The code table, one segment per line; negative codes mirror the positive ones.
int reference_expand(int q) {
    if (q == -2048) return -32768;
    if (q < 0) return -reference_expand(-q);
    if (q <= 511) return q;
    if (q <= 767) return 2 * q - 512;
    if (q <= 1023) return 4 * q - 2048;
    if (q <= 1279) return 8 * q - 6144;
    if (q <= 1535) return 16 * (q - 1024);
    if (q <= 1791) return 32 * (q - 1280);
    return 64 * (q - 1536);
}

// A sample's code is the largest code whose expansion does not exceed the sample.
int reference_compress(int v) {
    static std::vector<int> expansions;
    if (expansions.empty()) {
        for (int q = -2048; q <= 2047; ++q) expansions.push_back(reference_expand(q));
    }
    auto above = std::upper_bound(expansions.begin(), expansions.end(), v);
    return int(above - expansions.begin()) - 1 - 2048;
}

void put_sample_le(std::vector<uint8_t>& pcm, int index, int value) {
    pcm[2 * index] = uint8_t(value & 0xFF);
    pcm[2 * index + 1] = uint8_t((value >> 8) & 0xFF);
}

TEST(LongPlay, ReferencesAgreeWithTheListedValues) {
    const int expand_cases[][2] = {{511, 511},    {512, 512},   {767, 1022},    {768, 1024},
                                   {2047, 32704}, {-513, -514}, {-2048, -32768}};
    for (auto [code, sample] : expand_cases) EXPECT_EQ(reference_expand(code), sample) << code;
    const int compress_cases[][2] = {{1023, 767},   {32767, 2047},   {-1, -1},    {-513, -513},
                                     {-1024, -768}, {-32768, -2048}, {1001, 756}, {20000, 1848}};
    for (auto [sample, code] : compress_cases)
        EXPECT_EQ(reference_compress(sample), code) << sample;
}

TEST(LongPlay, ExpandAndCompressMatchTheReferenceForEveryValue) {
    for (int q = -2048; q <= 2047; ++q) {
        ASSERT_EQ(lp_expand(q), reference_expand(q)) << "signed code " << q;
        ASSERT_EQ(lp_expand(q & 0xFFF), reference_expand(q)) << "unsigned code " << (q & 0xFFF);
    }
    build_lp_tables();
    for (int v = -32768; v <= 32767; ++v) {
        const int code = reference_compress(v);
        ASSERT_EQ(lp_compress(v), code) << "sample " << v;
        ASSERT_EQ(lp_compress_table[uint16_t(v)], code & 0xFFF) << "sample " << v;
    }
}

TEST(LongPlay, InterleaveHasTheKnownEntriesAndIsAPermutation) {
    build_lp_tables();
    const uint16_t first[] = {1, 0, 9, 5, 4, 13, 8, 17, 16, 12, 21, 20};
    const uint16_t middle[] = {3, 2, 11, 7, 6, 15, 10, 19, 18, 14, 23, 22};
    const uint16_t last[] = {5739, 5738, 5747, 5743, 5742, 5751,
                             5746, 5755, 5754, 5750, 5759, 5758};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(lp_interleave[i], first[i]) << i;
        EXPECT_EQ(lp_interleave[2880 + i], middle[i]) << 2880 + i;
        EXPECT_EQ(lp_interleave[5748 + i], last[i]) << 5748 + i;
    }
    std::vector<uint16_t> sorted(lp_interleave, lp_interleave + 5760);
    std::sort(sorted.begin(), sorted.end());
    for (int k = 0; k < 5760; ++k) ASSERT_EQ(sorted[k], k);
}

// Hand-placed bytes of a long-play area and the pair they decode to; each also encodes
// back to exactly these bytes.
struct LayoutCase {
    int position_a, byte_a, position_b, byte_b;
    int pair, left, right;
};

TEST(LongPlay, NibbleLayoutDecodesAndEncodesBothWays) {
    const LayoutCase cases[] = {
        {0, 0xF0, 1, 0x7F, 0, 32704, 0},   // L = 0x7FF: bits 11-4 at position 1, 3-0 at 0
        {1, 0x80, 0, 0x00, 0, -32768, 0},  // L = 0x800, the lowest code
        {9, 0xFF, 0, 0x0F, 0, 0, -1},      // R = 0xFFF across positions 9 and 0
        {9, 0x80, 0, 0x00, 0, 0, -32768},  // R = 0x800
        {3, 0x01, 2, 0x00, 960, 16, 0},    // pair 960, the first of the second half
        {5, 0x20, 4, 0x35, 1, 518, 5},     // pair 1: L = 0x203, R = 0x005
    };
    for (const LayoutCase& c : cases) {
        std::vector<uint8_t> area(5760, 0);
        area[c.position_a] = uint8_t(c.byte_a);
        area[c.position_b] = uint8_t(c.byte_b);
        std::vector<uint8_t> pcm(7680, 0xEE);
        ASSERT_EQ(decode_lp_frame(pcm.data(), area.data()), 7680);
        std::vector<uint8_t> expected(7680, 0);
        put_sample_le(expected, 2 * c.pair, c.left);
        put_sample_le(expected, 2 * c.pair + 1, c.right);
        EXPECT_EQ(pcm, expected) << "decoding position " << c.position_a;

        std::vector<uint8_t> encoded(5760, 0xEE);
        ASSERT_EQ(encode_lp_frame(encoded.data(), expected.data()), 5760);
        EXPECT_EQ(encoded, area) << "encoding position " << c.position_a;
    }
}

TEST(LongPlay, EveryAudioAreaSurvivesDecodeThenEncode) {
    std::mt19937 random(5822);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> area(5760);
        for (uint8_t& byte : area) byte = uint8_t(random());
        std::vector<uint8_t> pcm(7680);
        decode_lp_frame(pcm.data(), area.data());
        std::vector<uint8_t> again(5760);
        encode_lp_frame(again.data(), pcm.data());
        ASSERT_EQ(again, area) << "round " << round;
    }
}

}  // namespace
