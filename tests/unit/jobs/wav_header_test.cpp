#include "jobs/wav_header.h"

#include <gtest/gtest.h>

namespace {

TEST(WavFileName, BaseAndTrackNumberAsTypedOrNothingWhenTooLong) {
    char name[16];
    ASSERT_TRUE(wav_file_name(name, sizeof name, "dir/Tape", 12));
    EXPECT_STREQ(name, "dir/Tape12.wav");
    EXPECT_TRUE(wav_file_name(name, sizeof name, "dir/Tape12", 1));  // 15 characters and the 0
    EXPECT_FALSE(wav_file_name(name, sizeof name, "dir/Tape12", 12));
}

}  // namespace
