// The wave output device over ALSA's "file" device, which takes data as fast as it comes.

#include "platform/wave_out.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "unit/playback/playback_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<std::pair<uint32_t, uintptr_t>>;  // message, param1
constexpr uint32_t kHeader = sizeof(WAVEHDR);

std::mutex g_lock;
std::condition_variable g_arrived;
Messages g_messages;

void record_message(HWAVEOUT, uint32_t message, uintptr_t, uintptr_t param1, uintptr_t) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_messages.emplace_back(message, param1);
    g_arrived.notify_all();
}

// Waits for the device's word that the header is done, however long it takes.
void wait_until_done(const WAVEHDR& header) {
    const std::pair<uint32_t, uintptr_t> done{WOM_DONE, reinterpret_cast<uintptr_t>(&header)};
    std::unique_lock<std::mutex> guard(g_lock);
    g_arrived.wait(guard, [&] { return std::count(g_messages.begin(), g_messages.end(), done); });
}

WAVEFORMATEX format(uint32_t rate, uint16_t channels = 2) {
    return {WAVE_FORMAT_PCM, channels, rate, 4 * rate, 4, 16, 0};
}

WAVEHDR header_for(Bytes& data) {
    return WAVEHDR{data.data(), static_cast<uint32_t>(data.size()), 0, 0, 0, 0, nullptr, 0};
}

TEST(WaveOutDevice, QueriesOpensPlaysResetsAndClosesLikeTheWindowsDevice) {
    ScratchDirectory scratch;
    const std::string played = scratch.path() + "/played.raw";
    auto query = [](const WAVEFORMATEX& f, uint32_t id = WAVE_MAPPER) {
        return waveOutOpen(nullptr, id, &f, nullptr, 0, WAVE_FORMAT_QUERY);
    };
    setenv("TERVANO_AUDIO_DEVICE", "tervano_no_such_device", 1);
    EXPECT_EQ(query(format(44100)), MMSYSERR_BADDEVICEID);
    setenv("TERVANO_AUDIO_DEVICE", ("file:FILE=" + played + ",FORMAT=raw").c_str(), 1);
    EXPECT_EQ(query(format(44100)), MMSYSERR_NOERROR);
    EXPECT_EQ(query(format(4000000000u)), WAVERR_BADFORMAT);
    EXPECT_EQ(query(format(44100, 1)), WAVERR_BADFORMAT);
    EXPECT_EQ(query(format(44100), 7), MMSYSERR_BADDEVICEID);

    // A close hands back what is still queued, unplayed.
    WAVEFORMATEX f = format(48000);
    HWAVEOUT device = nullptr;
    Bytes held = test_audio(4096, 5);
    WAVEHDR h = header_for(held);
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &f, nullptr, 0, 0), 0u);
    ASSERT_EQ(waveOutPause(device), 0u);
    ASSERT_EQ(waveOutPrepareHeader(device, &h, kHeader), 0u);
    ASSERT_EQ(waveOutWrite(device, &h, kHeader), 0u);
    ASSERT_EQ(waveOutClose(device), 0u);
    EXPECT_EQ(wave_header_flags(&h), WHDR_PREPARED | WHDR_DONE);
    EXPECT_TRUE(read_file(played).empty());

    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &f, record_message, 0, CALLBACK_FUNCTION), 0u);
    Bytes dropped = test_audio(8192, 1), first = test_audio(36000, 2), second = test_audio(4, 3),
          ragged = test_audio(4098, 4);
    WAVEHDR d = header_for(dropped), a = header_for(first), b = header_for(second),
            r = header_for(ragged);
    EXPECT_EQ(waveOutWrite(device, &d, kHeader), WAVERR_UNPREPARED);
    for (WAVEHDR* h : {&d, &a, &b, &r}) ASSERT_EQ(waveOutPrepareHeader(device, h, kHeader), 0u);
    EXPECT_EQ(waveOutWrite(device, &r, kHeader), MMSYSERR_INVALPARAM) << "not whole frames";

    // Paused, the device holds what is written; a reset hands it back done, unplayed.
    ASSERT_EQ(waveOutPause(device), 0u);
    ASSERT_EQ(waveOutWrite(device, &d, kHeader), 0u);
    EXPECT_EQ(waveOutUnprepareHeader(device, &d, kHeader), WAVERR_STILLPLAYING);
    EXPECT_EQ(wave_header_flags(&d), WHDR_PREPARED | WHDR_INQUEUE);
    ASSERT_EQ(waveOutReset(device), 0u);
    EXPECT_EQ(wave_header_flags(&d), WHDR_PREPARED | WHDR_DONE);

    ASSERT_EQ(waveOutWrite(device, &a, kHeader), 0u);
    ASSERT_EQ(waveOutWrite(device, &b, kHeader), 0u);
    ASSERT_EQ(waveOutRestart(device), 0u);
    wait_until_done(b);
    EXPECT_EQ(waveOutUnprepareHeader(device, &a, kHeader), 0u);
    ASSERT_EQ(waveOutClose(device), 0u);
    EXPECT_EQ(waveOutClose(nullptr), MMSYSERR_INVALHANDLE);
    unsetenv("TERVANO_AUDIO_DEVICE");

    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(read_file(played), first);
    auto u = [](const WAVEHDR& h) { return reinterpret_cast<uintptr_t>(&h); };
    EXPECT_EQ(
        g_messages,
        (Messages{
            {WOM_OPEN, 0}, {WOM_DONE, u(d)}, {WOM_DONE, u(a)}, {WOM_DONE, u(b)}, {WOM_CLOSE, 0}}));
}

}  // namespace
