// Playback through the real device into ALSA's "file" and "null" devices, which take data
// as fast as it comes, so a track plays in far less than its length.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "playback/wave_out_queue.h"
#include "playback_test_support.h"

namespace {

constexpr uint32_t kSize = 16384;
constexpr uint32_t kFrameBytes44k = 5292;  // the audio of one tape frame at 44100

TEST(AlsaPlayback, WholeTracksPlayAtEveryRateAndReachTheFileDeviceByteForByte) {
    ScratchDirectory scratch;
    ASSERT_FALSE(scratch.path().empty());
    std::string played = scratch.path() + "/played.raw";
    buffer_count = 24;
    buffer_size = kSize;
    const std::pair<std::string, uint32_t> tracks[] = {
        {"file:FILE=" + played + ",FORMAT=raw", 44100}, {"null", 48000}, {"null", 32000}};
    for (const auto& [device, rate] : tracks) {
        SCOPED_TRACE(device);
        setenv("TERVANO_AUDIO_DEVICE", device.c_str(), 1);
        ParamBlock params{};
        ASSERT_EQ(wave_out_init(rate), 0);
        std::vector<uint8_t> audio;
        for (uint32_t i = 0; i < 200; ++i) {
            std::vector<uint8_t> frame = test_audio(kFrameBytes44k, i);
            audio.insert(audio.end(), frame.begin(), frame.end());
            output_waveout(frame.data(), kFrameBytes44k, &params);
        }
        ASSERT_EQ(wave_out_wrapup(0), 24);
        if (rate != 44100) continue;
        // The primed silence first, then every whole buffer; the staged tail is not sent.
        std::vector<uint8_t> expected(6 * kSize, 0);
        expected.insert(expected.end(), audio.begin(), audio.end() - params.staged_bytes);
        EXPECT_EQ(read_file(played), expected);
    }
    unsetenv("TERVANO_AUDIO_DEVICE");
    EXPECT_EQ(read_log(), "");
}

}  // namespace
