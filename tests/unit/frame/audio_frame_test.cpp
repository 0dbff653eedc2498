#include "frame/audio_frame.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(BcdTime, StepsFollowThe33And34FrameRuleAndKeepEightBits) {
    const uint32_t steps[][2] = {
        {0x00000000, 0x00000001}, {0x00000132, 0x00000200},  // second 1 has frames 00-32
        {0x00000232, 0x00000233}, {0x00000233, 0x00000300},  // second 2 has frames 00-33
        {0x00000332, 0x00000400}, {0x00005933, 0x00010000},  // 59 mod 3 = 2
        {0x00595933, 0x01000000}, {0x99595933, 0xA0000000},  // hours do not wrap
        {0xAAAAAAAA, 0xB0B0B100},  // no time: each AA reads 110, and 110 mod 3 = 2
        {0x0000000F, 0x00000016},  // digits are not validated
        {0x00006000, 0x00010001},  // second 60 is read as the next minute
        {0x0000F932, 0x00000000},  // seconds F9 read 159; 160 keeps only its low 8 bits
        {0xFF000000, 0x05000001},  // hours FF read 165, written back as 0x(10)5
        {0x12F95933, 0x12000000},  // minutes F9 + 1: nothing spills into the hours
    };
    for (const auto& step : steps) {
        EXPECT_EQ(bcd_time_increment(step[0]), step[1]) << std::hex << step[0];
    }
}

}  // namespace
