#include "frame/audio_frame.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(AudioFrame, RateCodesAndBytesPerFrame) {
    EXPECT_EQ(rate_code_hz(0), 48000);
    EXPECT_EQ(rate_code_hz(1), 44100);
    EXPECT_EQ(rate_code_hz(2), 32000);
    EXPECT_EQ(rate_code_hz(3), 0);

    const struct {
        int rate_code;
        int bytes_16;
        int bytes_12;
    } table[] = {{0, 5760, 5760}, {1, 5292, 5292}, {2, 3840, 7680}, {3, 5760, 5760}};
    for (const auto& row : table) {
        EXPECT_EQ(audio_bytes_per_frame(row.rate_code, 16), row.bytes_16) << row.rate_code;
        EXPECT_EQ(audio_bytes_per_frame(row.rate_code, 12), row.bytes_12) << row.rate_code;
    }
    // Codes outside the 2-bit field never give more than the 48 kHz frame holds.
    EXPECT_EQ(audio_bytes_per_frame(7, 12), 5760);
    EXPECT_EQ(audio_bytes_per_frame(-1, 16), 5760);
}

uint32_t advanced(uint32_t time) {
    uint8_t bytes[4] = {static_cast<uint8_t>(time >> 24), static_cast<uint8_t>(time >> 16),
                        static_cast<uint8_t>(time >> 8), static_cast<uint8_t>(time)};
    bcd_time_advance(bytes);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

TEST(BcdTime, StepsAcrossSecondMinuteAndHourBoundaries) {
    const struct {
        uint32_t from;
        uint32_t to;
    } steps[] = {
        {0x00000000, 0x00000001}, {0x00000132, 0x00000200},  // second 1 has frames 00-32
        {0x00000232, 0x00000233},                            // second 2 has frames 00-33
        {0x00000233, 0x00000300}, {0x00000332, 0x00000400},
        {0x00005933, 0x00010000},                            // 59 mod 3 = 2
        {0x00595933, 0x01000000}, {0x99595933, 0xA0000000},  // hours do not wrap
        {0xAAAAAAAA, 0xB0B0B100},  // no time: each AA reads 110, and 110 mod 3 = 2
        {0x0000000F, 0x00000016},  // digits are not validated
        {0x00006000, 0x00010001},  // second 60 is read as the next minute
    };
    for (const auto& step : steps) {
        EXPECT_EQ(bcd_time_increment(step.from), step.to) << std::hex << step.from;
        EXPECT_EQ(advanced(step.from), step.to) << std::hex << step.from;
    }
}

TEST(BcdTime, ValuesBeyondTwoDigitsKeepTheirLowEightBits) {
    // Seconds F9 read as 159; the carry makes 160, tens digit 16, written 0x(1)00.
    EXPECT_EQ(bcd_time_increment(0x0000F932), 0x00000000u);
    // Hours FF read as 165 and are written back as 0x(10)5.
    EXPECT_EQ(bcd_time_increment(0xFF000000), 0x05000001u);
    // Minutes F9 + 1 from a full hour: 160 minutes, nothing spills into the hours.
    EXPECT_EQ(bcd_time_increment(0x12F95933), 0x12000000u);
    for (uint32_t time : {0x0000F932u, 0xFF000000u, 0x12F95933u, 0xFFFFFFFFu, 0x9F9F9F9Fu}) {
        EXPECT_EQ(advanced(time), bcd_time_increment(time)) << std::hex << time;
    }
}

// Frame n of a time code counted from 00:00:00:00, worked out from first principles:
// every three seconds hold 100 frames, 33 + 33 + 34.
uint32_t reference_time(uint64_t n) {
    const uint64_t block = n / 100;
    const int in_block = static_cast<int>(n % 100);
    const int second_in_block = in_block < 33 ? 0 : (in_block < 66 ? 1 : 2);
    const int frame = in_block - 33 * second_in_block;
    const uint64_t total_seconds = block * 3 + second_in_block;
    const int values[4] = {static_cast<int>(total_seconds / 3600),
                           static_cast<int>(total_seconds / 60 % 60),
                           static_cast<int>(total_seconds % 60), frame};
    uint32_t time = 0;
    for (int value : values) time = (time << 8) | ((value / 10) << 4) | (value % 10);
    return time;
}

TEST(BcdTime, BothFormsWalkEveryFrameLikeACounter) {
    constexpr uint64_t kFramesPerHour = 120000;  // 3600 s x 100 / 3
    const uint64_t stretches[][2] = {{0, 2 * kFramesPerHour},
                                     {98 * kFramesPerHour, 100 * kFramesPerHour - 1}};
    for (const auto& stretch : stretches) {
        uint32_t time = reference_time(stretch[0]);
        for (uint64_t n = stretch[0]; n < stretch[1]; ++n) {
            const uint32_t expected = reference_time(n + 1);
            const uint32_t stepped = bcd_time_increment(time);
            ASSERT_EQ(stepped, expected) << "frame " << n << std::hex << " from " << time;
            ASSERT_EQ(advanced(time), expected) << "frame " << n << std::hex << " from " << time;
            time = stepped;
        }
    }
    EXPECT_EQ(bcd_time_increment(reference_time(100 * kFramesPerHour - 1)), 0xA0000000u);
}

}  // namespace
