// The wave output device over ALSA's "file" device, which takes data as fast as it comes.

#include "platform/wave_out.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unit/playback/playback_test_support.h"

namespace {

std::mutex g_messages_lock;
std::vector<std::pair<uint32_t, uintptr_t>> g_messages;  // message, param1

void record_message(HWAVEOUT, uint32_t message, uintptr_t, uintptr_t param1, uintptr_t) {
    std::lock_guard<std::mutex> guard(g_messages_lock);
    g_messages.emplace_back(message, param1);
}

WAVEFORMATEX pcm_format(uint32_t rate) {
    return {WAVE_FORMAT_PCM, 2, rate, 4 * rate, 4, 16, 0};
}

bool wait_until_done(const WAVEHDR* header) {
    for (int i = 0; i < 5000 && !(wave_header_flags(header) & WHDR_DONE); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return wave_header_flags(header) & WHDR_DONE;
}

class WaveOutDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        played_ = scratch_.path() + "/played.raw";
        setenv("TERVANO_AUDIO_DEVICE", ("file:FILE=" + played_ + ",FORMAT=raw").c_str(), 1);
        g_messages.clear();
    }
    void TearDown() override { unsetenv("TERVANO_AUDIO_DEVICE"); }

    MMRESULT query(const WAVEFORMATEX& format, uint32_t device_id = WAVE_MAPPER) {
        return waveOutOpen(nullptr, device_id, &format, nullptr, 0, WAVE_FORMAT_QUERY);
    }
    WAVEHDR header_for(std::vector<uint8_t>& data) {
        return WAVEHDR{data.data(), static_cast<uint32_t>(data.size()), 0, 0, 0, 0, nullptr, 0};
    }

    ScratchDirectory scratch_;
    std::string played_;
};

TEST_F(WaveOutDeviceTest, TheQueryAcceptsSixteenBitStereoAtRatesTheDeviceTakes) {
    EXPECT_EQ(query(pcm_format(44100)), MMSYSERR_NOERROR);
    EXPECT_EQ(query(pcm_format(4000000000u)), WAVERR_BADFORMAT);
    WAVEFORMATEX mono = pcm_format(44100);
    mono.nChannels = 1;
    EXPECT_EQ(query(mono), WAVERR_BADFORMAT);
    EXPECT_EQ(query(pcm_format(44100), 7), MMSYSERR_BADDEVICEID);
    setenv("TERVANO_AUDIO_DEVICE", "tervano_no_such_device", 1);
    EXPECT_EQ(query(pcm_format(44100)), MMSYSERR_BADDEVICEID);
}

TEST_F(WaveOutDeviceTest, BuffersPlayInOrderAfterRestartAndAResetHandsThemBackUnplayed) {
    WAVEFORMATEX format = pcm_format(48000);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, record_message, 0, CALLBACK_FUNCTION), 0u);
    std::vector<uint8_t> dropped = test_audio(8192, 1), first = test_audio(36000, 2),
                         second = test_audio(4, 3), ragged = test_audio(4098, 4);
    WAVEHDR d = header_for(dropped), a = header_for(first), b = header_for(second),
            r = header_for(ragged);
    EXPECT_EQ(waveOutWrite(device, &d, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    for (WAVEHDR* h : {&d, &a, &b, &r})
        ASSERT_EQ(waveOutPrepareHeader(device, h, sizeof(WAVEHDR)), 0u);
    EXPECT_EQ(waveOutWrite(device, &r, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);

    // Paused, the device holds what is written; a reset returns it done.
    ASSERT_EQ(waveOutPause(device), 0u);
    ASSERT_EQ(waveOutWrite(device, &d, sizeof(WAVEHDR)), 0u);
    EXPECT_EQ(waveOutUnprepareHeader(device, &d, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(wave_header_flags(&d), WHDR_PREPARED | WHDR_INQUEUE);
    ASSERT_EQ(waveOutReset(device), 0u);
    EXPECT_EQ(wave_header_flags(&d), WHDR_PREPARED | WHDR_DONE);

    ASSERT_EQ(waveOutWrite(device, &a, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutWrite(device, &b, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutRestart(device), 0u);
    ASSERT_TRUE(wait_until_done(&a) && wait_until_done(&b));
    EXPECT_EQ(waveOutUnprepareHeader(device, &a, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutClose(device), 0u);

    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(read_file(played_), expected);
    auto u = [](const WAVEHDR& h) { return reinterpret_cast<uintptr_t>(&h); };
    EXPECT_EQ(
        g_messages,
        (std::vector<std::pair<uint32_t, uintptr_t>>{
            {WOM_OPEN, 0}, {WOM_DONE, u(d)}, {WOM_DONE, u(a)}, {WOM_DONE, u(b)}, {WOM_CLOSE, 0}}));
}

TEST_F(WaveOutDeviceTest, CloseHandsBackWhatIsStillQueued) {
    WAVEFORMATEX format = pcm_format(48000);
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, nullptr, 0, 0), 0u);
    std::vector<uint8_t> data = test_audio(4096, 1);
    WAVEHDR header = header_for(data);
    ASSERT_EQ(waveOutPause(device), 0u);
    ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutWrite(device, &header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutClose(device), 0u);
    EXPECT_EQ(wave_header_flags(&header), WHDR_PREPARED | WHDR_DONE);
    EXPECT_TRUE(read_file(played_).empty());
    EXPECT_EQ(waveOutClose(nullptr), MMSYSERR_INVALHANDLE);
}

}  // namespace
