#include "frame/concealment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

namespace {

constexpr uint8_t kUntouched = 0x5A;  // the target starts as this, so every write shows

using Repair = std::tuple<int, int, int>;  // channel (0 left, 1 right), pair, value

// What, n, flags, left and right samples, repairs (every other target byte must stay
// untouched). Samples are listed from pair 0; the last one listed carries on to the end
// of the frame.
using ConcealCase =
    std::tuple<const char*, int, int, std::vector<int>, std::vector<int>, std::vector<Repair>>;

void put_le16(std::vector<uint8_t>& pcm, int offset, int value) {
    pcm[offset] = uint8_t(value & 0xFF);
    pcm[offset + 1] = uint8_t((value >> 8) & 0xFF);
}

// Buffers are exactly n bytes long, so a stray access trips the sanitizer.
void check_case(const ConcealCase& c) {
    const auto& [name, n, flags, left, right, repairs] = c;
    std::vector<uint8_t> source(n), target(n, kUntouched), expected(n, kUntouched);
    for (int m = 0; m < n / 4; ++m)
        for (const std::vector<int>* s : {&left, &right})
            put_le16(source, 4 * m + (s == &right) * 2, (*s)[std::min<size_t>(m, s->size() - 1)]);
    conceal_errors(source.data(), target.data(), n, flags);
    for (auto [channel, pair, value] : repairs) put_le16(expected, 4 * pair + 2 * channel, value);
    EXPECT_EQ(target, expected) << name;
}
TEST(ConcealErrors, ClassRuleThresholdExaminedRangeAndChannels) {
    const std::vector<int> kLeft = {2000, 2000, 0, 2000},
                           kRight = {2000, 2000, 2000, 2000, 0, 2000};
    const ConcealCase cases[] = {
        {"even spike, not small: odd class", 5760, 0x40, {0, 0, 1000, 0}, {0}, {}},
        {"odd spike, not small: even class", 5760, 0x40, {0, 0, 0, 1000, 0}, {0}, {}},
        {"small even spike", 5760, 0x40, {2000, 2000, 0, 2000}, {0}, {{0, 2, 2000}}},
        {"small odd spike", 5760, 0x40, {2000, 2000, 2000, 0, 2000}, {0}, {{0, 3, 2000}}},
        {"two odd, one small even", 5760, 0x40, {0, 0, 0, 1000, 0, 1000, 0}, {0}, {{0, 4, 1000}}},
        {"tie chooses even, mean truncates", 5760, 0x40, {0, -1001, 2000, 0}, {0}, {{0, 2, -500}}},
        {"right only", 5760, 0x20, {0}, {-3000, 3000, -3000, 0}, {{1, 2, 1500}}},
        {"differences of exactly 500", 5760, 0x40, {0, 0, 500, 0}, {0}, {}},
        {"falls by exactly 500", 5760, 0x40, {500, 500, 0, 2000}, {0}, {}},
        {"rises by exactly 500 after", 5760, 0x40, {2000, 2000, 0, 500}, {0}, {}},
        {"rises by exactly 500", 5760, 0x40, {-500, -500, 0, -2000}, {0}, {}},
        {"falls by exactly 500 after", 5760, 0x40, {-2000, -2000, 0, -500}, {0}, {}},
        {"spike of 500 is not small", 5760, 0x40, {2000, 2000, 500, 2000}, {0}, {}},
        {"spike of -500 is not small", 5760, 0x40, {-2000, -2000, -500, -2000}, {0}, {}},
        {"left spike hides the right one", 5760, 0x60, {0, 0, 1000, 0}, {0, 0, 1000, 0}, {}},
        {"hides right count", 5760, 0x60, {2000, 2000, 0, 2000}, {2000, 2000, 0}, {{0, 2, 2000}}},
        {"negative mean", 5760, 0x40, {2000, -1001, 0, -2000, 2000}, {0}, {{0, 2, -1500}}},
        {"n of 12 examines nothing", 12, 0x40, {2000, 0, 2000}, {0}, {}},
        {"n of 16 examines pair 1", 16, 0x40, {2000, 0, 2000}, {0}, {{0, 1, 2000}}},
        {"last examined pair", 24, 0x40, {2000, 2000, 2000, 0, 2000}, {0}, {{0, 3, 2000}}},
        // 23 bytes: five whole pairs and three stray bytes, so pair 2 is the last centre.
        {"partial pair, last centre", 23, 0x40, {2000, 2000, 0, 2000}, {0}, {{0, 2, 2000}}},
        {"partial pair is no pair", 23, 0x40, {2000, 2000, 2000, 0, 2000}, {0}, {}},
        {"second to last pair is no centre", 24, 0x40, {2000, 2000, 2000, 2000, 0, 2000}, {0}, {}},
        // The audio area holds 5760 bytes: a larger count is not a frame's.
        {"more than a frame", 5764, 0x60, {2000, 2000, 0, 2000}, {0}, {}},
        // Flag values that single out one channel; every other value repairs both. Each
        // channel has a small even spike, at different pairs so both are counted.
        {"0x20", 5760, 0x20, kLeft, kRight, {{1, 4, 2000}}},
        {"0x21", 5760, 0x21, kLeft, kRight, {{0, 2, 2000}}},
        {"0x22", 5760, 0x22, kLeft, kRight, {{1, 4, 2000}}},
        {"0x23", 5760, 0x23, kLeft, kRight, {{0, 2, 2000}, {1, 4, 2000}}},
        {"0x40", 5760, 0x40, kLeft, kRight, {{0, 2, 2000}}},
        {"0x48", 5760, 0x48, kLeft, kRight, {{0, 2, 2000}}},
        {"0x60", 5760, 0x60, kLeft, kRight, {{0, 2, 2000}, {1, 4, 2000}}},
        {"0x01", 5760, 0x01, kLeft, kRight, {{0, 2, 2000}, {1, 4, 2000}}},
    };
    for (const ConcealCase& c : cases) check_case(c);
}

}  // namespace
