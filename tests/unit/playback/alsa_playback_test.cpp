// Playback through the real device into ALSA's "null" and "file" devices, which take data
// as fast as it comes, so a track plays in far less than its length.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "playback/wave_out_queue.h"
#include "playback_test_support.h"

namespace {

constexpr uint32_t kSize = 16384;
constexpr uint32_t kFrameBytes44k = 5292;  // the audio of one tape frame at 44100

class AlsaPlaybackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        buffer_count = 24;
        buffer_size = kSize;
    }
    void TearDown() override {
        wave_out_wrapup(1);
        unsetenv("TERVANO_AUDIO_DEVICE");
    }
    void use_device(const std::string& name) { setenv("TERVANO_AUDIO_DEVICE", name.c_str(), 1); }

    std::vector<uint8_t> play_frames(int count) {
        std::vector<uint8_t> all;
        for (int i = 0; i < count; ++i) {
            auto frame = test_audio(kFrameBytes44k, static_cast<uint32_t>(i));
            all.insert(all.end(), frame.begin(), frame.end());
            output_waveout(frame.data(), kFrameBytes44k, &params_);
        }
        return all;
    }

    ScratchDirectory scratch_;
    ParamBlock params_{};
};

TEST_F(AlsaPlaybackTest, AWholeTrackReachesTheFileDeviceByteForByte) {
    std::string played = scratch_.path() + "/played.raw";
    use_device("file:FILE=" + played + ",FORMAT=raw");
    ASSERT_EQ(wave_out_init(44100), 0);
    std::vector<uint8_t> audio = play_frames(200);
    ASSERT_EQ(wave_out_wrapup(0), 24);

    // The primed silence first, then every whole buffer; the staged tail is not sent.
    ASSERT_GT(params_.staged_bytes, 0u);
    std::vector<uint8_t> expected(6 * kSize, 0);
    expected.insert(expected.end(), audio.begin(), audio.end() - params_.staged_bytes);
    EXPECT_EQ(read_file(played), expected);
    EXPECT_EQ(read_log(), "");
}

TEST_F(AlsaPlaybackTest, TheNullDevicePlaysEveryRateOfTheTape) {
    use_device("null");
    for (uint32_t rate : {48000u, 44100u, 32000u}) {
        SCOPED_TRACE(rate);
        params_ = ParamBlock{};
        ASSERT_EQ(wave_out_init(rate), 0);
        play_frames(30);
        EXPECT_EQ(wave_out_wrapup(0), 24);
    }
    EXPECT_EQ(read_log(), "");
}

TEST_F(AlsaPlaybackTest, AMissingDeviceOrARefusedRateFailsTheFormatQuery) {
    use_device("tervano_no_such_device");
    EXPECT_EQ(wave_out_init(48000), -1);
    EXPECT_EQ(wave_out_wrapup(1), 24);
    use_device("null");
    EXPECT_EQ(wave_out_init(4000000000u), -1);
    EXPECT_EQ(read_log(),
              "Unsupported waveform format/rate: 2Unsupported waveform format/rate: 32");
}

}  // namespace
