#include "jobs/wav_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

uint32_t le32(const uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

std::vector<uint8_t> header_bytes(uint32_t data_length, int rate_code) {
    uint8_t header[kWavHeaderBytes];
    memset(header, 0xEE, sizeof header);
    build_wav_header(header, data_length, rate_code);
    return std::vector<uint8_t>(header, header + sizeof header);
}

TEST(WavHeader, EveryFieldOfA44100HzHeader) {
    const uint8_t expected[kWavHeaderBytes] = {
        'R',  'I',  'F',  'F',  0x9C, 0x56, 0x34, 0x12,  // data length + 36
        'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',
        0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00,  // format chunk of 16: PCM, 2 channels
        0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,  // 44100 Hz, 176400 bytes/s
        0x04, 0x00, 0x10, 0x00,                          // 4 bytes a pair, 16 bits
        'd',  'a',  't',  'a',  0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(header_bytes(0x12345678, 1), std::vector<uint8_t>(expected, expected + 44));
}

TEST(WavHeader, RateCodesGiveTheirRatesAndCodeThreeGives48000) {
    const struct {
        int code;
        uint32_t hz;
    } cases[] = {{0, 48000}, {1, 44100}, {2, 32000}, {3, 48000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        std::vector<uint8_t> header = header_bytes(7680, c.code);
        EXPECT_EQ(le32(&header[24]), c.hz);
        EXPECT_EQ(le32(&header[28]), c.hz * 4);
        EXPECT_EQ(le16(&header[32]), 4);
        EXPECT_EQ(le32(&header[40]), 7680u);
    }
}

TEST(WavHeader, TheLargestDataLengthStillFitsTheRiffField) {
    std::vector<uint8_t> header = header_bytes(kWavMaxDataBytes, 0);
    EXPECT_EQ(le32(&header[4]), 0xFFFFFFFFu);
    EXPECT_EQ(le32(&header[40]), 0xFFFFFFDBu);
}

TEST(WavFileName, BaseAndTrackNumberAsTypedOrNothingWhenTooLong) {
    char name[16];
    ASSERT_TRUE(wav_file_name(name, sizeof name, "dir/Tape", 12));
    EXPECT_STREQ(name, "dir/Tape12.wav");
    EXPECT_TRUE(wav_file_name(name, sizeof name, "dir/Tape12", 1));  // 15 characters and the 0
    EXPECT_FALSE(wav_file_name(name, sizeof name, "dir/Tape12", 12));
}

}  // namespace
