#include "frame/long_play.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
TEST(LongPlay, ExpandAndCompressFollowTheCodeTableForEveryValue) {
    std::vector<int> expansions;
    for (int q = -2048; q <= 2047; ++q) {
        expansions.push_back(reference_expand(q));
        ASSERT_EQ(lp_expand(q), expansions.back()) << "signed code " << q;
        ASSERT_EQ(lp_expand(q & 0xFFF), expansions.back()) << "unsigned code " << (q & 0xFFF);
    }
    build_lp_tables();
    for (int v = -32768; v <= 32767; ++v) {
        auto above = std::upper_bound(expansions.begin(), expansions.end(), v);
        const int code = int(above - expansions.begin()) - 1 - 2048;
        ASSERT_EQ(lp_compress(v), code) << "sample " << v;
        ASSERT_EQ(lp_compress_table[uint16_t(v)], code & 0xFFF) << "sample " << v;
    }
}

// Hand-placed bytes of a long-play area and the pair they decode to; each also encodes
// back to exactly these bytes.
TEST(LongPlay, NibbleLayoutDecodesAndEncodesBothWays) {
    const struct {
        int position_a, byte_a, position_b, byte_b;
        int pair, left, right;
    } cases[] = {
        {0, 0xF0, 1, 0x7F, 0, 32704, 0},         // L = 0x7FF: bits 11-4 at position 1, 3-0 at 0
        {1, 0x80, 0, 0x00, 0, -32768, 0},        // L = 0x800, the lowest code
        {9, 0xFF, 0, 0x0F, 0, 0, -1},            // R = 0xFFF across positions 9 and 0
        {3, 0x01, 2, 0x00, 960, 16, 0},          // pair 960, the first of the second half
        {5, 0x20, 4, 0x35, 1, 518, 5},           // pair 1: L = 0x203, R = 0x005
        {9, 0x80, 0, 0x00, 0, 0, -32768},        // R = 0x800
        {5750, 0x11, 5759, 0x23, 1919, 274, 3},  // the last pair: L = 0x112, R = 0x003
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> area(5760, 0);
        area[c.position_a] = uint8_t(c.byte_a);
        area[c.position_b] = uint8_t(c.byte_b);
        std::vector<uint8_t> pcm(7680, 0xEE);
        ASSERT_EQ(decode_lp_frame(pcm.data(), area.data()), 7680);
        std::vector<uint8_t> expected(7680, 0);
        const int samples[] = {c.left, c.right};
        for (int i = 0; i < 4; ++i)
            expected[4 * c.pair + i] = uint8_t(samples[i / 2] >> (8 * (i % 2)));
        EXPECT_EQ(pcm, expected) << "decoding position " << c.position_a;
        std::vector<uint8_t> encoded(5760, 0xEE);
        ASSERT_EQ(encode_lp_frame(encoded.data(), expected.data()), 5760);
        EXPECT_EQ(encoded, area) << "encoding position " << c.position_a;
    }
    std::vector<uint16_t> sorted(lp_interleave, lp_interleave + 5760);
    std::sort(sorted.begin(), sorted.end());
    for (int k = 0; k < 5760; ++k) ASSERT_EQ(sorted[k], k) << "every byte of the area once";
}

}  // namespace
