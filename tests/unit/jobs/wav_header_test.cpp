#include "jobs/wav_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> header_bytes(uint32_t data_length, int rate_code) {
    uint8_t header[kWavHeaderBytes];
    memset(header, 0xEE, sizeof header);
    build_wav_header(header, data_length, rate_code);
    return std::vector<uint8_t>(header, header + sizeof header);
}

TEST(WavHeader, EveryFieldOfA44100HzHeaderAndTheRateOfEachCode) {
    const uint8_t expected[kWavHeaderBytes] = {
        'R',  'I',  'F',  'F',  0x9C, 0x56, 0x34, 0x12,  // data length + 36
        'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',
        0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00,  // format chunk of 16: PCM, 2 channels
        0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00,  // 44100 Hz, 176400 bytes/s
        0x04, 0x00, 0x10, 0x00,                          // 4 bytes a pair, 16 bits
        'd',  'a',  't',  'a',  0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(header_bytes(0x12345678, 1), std::vector<uint8_t>(expected, expected + 44));

    // Rate and bytes per second: 48000 for code 0, 32000 for code 2, 48000 for code 3.
    const std::vector<uint8_t> rates[] = {{0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0},
                                          {0x00, 0x7D, 0, 0, 0x00, 0xF4, 0x01, 0},
                                          {0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0}};
    const int codes[] = {0, 2, 3};
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> header = header_bytes(7680, codes[i]);
        EXPECT_EQ(std::vector<uint8_t>(header.begin() + 24, header.begin() + 32), rates[i])
            << codes[i];
    }
}

TEST(WavFileName, BaseAndTrackNumberAsTypedOrNothingWhenTooLong) {
    char name[16];
    ASSERT_TRUE(wav_file_name(name, sizeof name, "dir/Tape", 12));
    EXPECT_STREQ(name, "dir/Tape12.wav");
    EXPECT_TRUE(wav_file_name(name, sizeof name, "dir/Tape12", 1));  // 15 characters and the 0
    EXPECT_FALSE(wav_file_name(name, sizeof name, "dir/Tape12", 12));
}

}  // namespace
