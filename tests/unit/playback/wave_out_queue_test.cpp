#include "playback/wave_out_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fake_wave_device.h"
#include "playback_test_support.h"

namespace {

constexpr uint32_t kSize = 16384;
constexpr size_t kPrimedBytes = 6 * kSize;
const std::string kTimeoutLine = "\n Error: timeout on waveout device\n";

class WaveOutQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        install_fakes();
        buffer_count = 24;
        buffer_size = kSize;
    }
    void TearDown() override {
        wave_out_wrapup(1);
        wave_out_set_allocator(nullptr);
        remove_fakes();
    }
    int send(const std::vector<uint8_t>& bytes) {
        return output_waveout(bytes.data(), static_cast<uint32_t>(bytes.size()), &params_);
    }
    // What reached the device after the primed silence.
    std::vector<uint8_t> sent_audio() const {
        const std::vector<uint8_t>& sent = g_fake_device.sent;
        return std::vector<uint8_t>(sent.begin() + std::min(kPrimedBytes, sent.size()), sent.end());
    }
    // The device finishes everything it holds whenever the producer waits.
    void play_when_waiting() {
        g_fake_clock.on_sleep = [] { fake_finish_buffers(kMaxWaveBuffers); };
    }

    ScratchDirectory scratch_;
    ParamBlock params_{};
};

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts, size_t keep = ~0u) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    all.resize(std::min(keep, all.size()));
    return all;
}

TEST_F(WaveOutQueueTest, StagingGathersChunksIntoWholeBuffers) {
    ASSERT_EQ(wave_out_init(48000), 0);
    auto a = test_audio(5760, 1), b = test_audio(5760, 2), c = test_audio(5760, 3);
    EXPECT_EQ(send(a), 5760);
    EXPECT_EQ(send(b), 11520);
    EXPECT_TRUE(sent_audio().empty());
    EXPECT_EQ(send(c), 896);
    EXPECT_EQ(sent_audio(), join({a, b, c}, kSize));

    // Filled exactly: the buffer waits, and goes out with the next call.
    auto d = test_audio(kSize - 896, 4), e = test_audio(3840, 5);
    EXPECT_EQ(send(d), static_cast<int>(kSize));
    EXPECT_EQ(sent_audio().size(), kSize);
    EXPECT_EQ(send(e), 3840);
    EXPECT_EQ(sent_audio(), join({a, b, c, d}));
}

TEST_F(WaveOutQueueTest, LongChunksSendEveryBufferTheyCompleteAndNeverOverflow) {
    ASSERT_EQ(wave_out_init(48000), 0);
    play_when_waiting();
    auto a = test_audio(2 * kSize + 100, 1);
    EXPECT_EQ(send(a), 100);
    // 100 staged and 2S - 100 more make two buffers: one goes, the full one waits.
    auto b = test_audio(2 * kSize - 100, 2);
    EXPECT_EQ(send(b), static_cast<int>(kSize));
    EXPECT_EQ(sent_audio(), join({a, b}, 3 * kSize));
    auto c = test_audio(kStagingBytes + 50000, 3);  // longer than the staging area
    EXPECT_EQ(send(c), static_cast<int>((kSize + c.size()) % kSize));
    auto all = join({a, b, c});
    EXPECT_EQ(sent_audio(), join({all}, all.size() - params_.staged_bytes));
}

TEST_F(WaveOutQueueTest, EveryByteGoesOutInOrderAndAFlushAddsSilence) {
    ASSERT_EQ(wave_out_init(32000), 0);
    play_when_waiting();
    const uint32_t sizes[] = {3840, 5760, 7680, 1, 0, 16384, 40000, 4, 12000};
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < 120; ++i) {
        auto chunk = test_audio(sizes[i % 9], i);
        all.insert(all.end(), chunk.begin(), chunk.end());
        int staged = send(chunk);
        ASSERT_TRUE(staged >= 0 && staged <= static_cast<int>(kSize));
        ASSERT_EQ(sent_audio().size() + static_cast<size_t>(staged), all.size());
    }
    params_.flush_staged = 1;
    uint32_t staged = params_.staged_bytes;
    EXPECT_EQ(output_waveout(nullptr, 0, &params_), 0);
    EXPECT_EQ(params_.staged_bytes, staged);
    all.resize(all.size() + kSize - staged, 0);
    EXPECT_EQ(sent_audio(), all);

    // Bytes given with a flush are staged before the silence.
    auto tail = test_audio(kSize + 20, 9);
    params_.staged_bytes = 0;
    EXPECT_EQ(send(tail), 0);
    all.insert(all.end(), tail.begin(), tail.end());
    all.resize(all.size() + kSize - 20, 0);
    EXPECT_EQ(sent_audio(), all);
}

TEST_F(WaveOutQueueTest, InitPrimesAQuarterOfTheRingAndLeavesEighteenBuffersFree) {
    ASSERT_EQ(wave_out_init(44100), 0);
    std::vector<std::string> expected{"query", "open", "reset", "pause"};
    for (int i = 0; i < 6; ++i) expected.insert(expected.end(), {"prepare", "write"});
    expected.push_back("restart");
    EXPECT_EQ(g_fake_device.calls, expected);
    const WAVEFORMATEX& f = g_fake_device.format;
    EXPECT_EQ(std::vector<uint32_t>({f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.nAvgBytesPerSec,
                                     f.nBlockAlign, f.wBitsPerSample, f.cbSize}),
              std::vector<uint32_t>({1, 2, 44100, 176400, 4, 16, 0}));
    EXPECT_EQ(g_fake_device.sent, std::vector<uint8_t>(kPrimedBytes, 0));

    std::vector<WAVEHDR*> primed = g_fake_device.written;
    auto audio = test_audio(kSize, 7);
    for (int i = 0; i < 18; ++i) {
        ASSERT_EQ(wave_out_dataout(audio.data()), 0);
        EXPECT_EQ(std::count(primed.begin(), primed.end(), g_fake_device.written.back()), 0);
    }
    EXPECT_TRUE(g_fake_clock.sleeps.empty());
    // The 19th waits for the first primed buffer, polling every 100 ms.
    g_fake_clock.on_sleep = [] {
        if (g_fake_clock.sleeps.size() == 3) fake_finish_buffers(1);
    };
    ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_EQ(g_fake_device.written.back(), primed[0]);
    EXPECT_EQ(g_fake_clock.sleeps, std::vector<uint32_t>(3, 100));
}

TEST_F(WaveOutQueueTest, FewerThanFourBuffersPrimeNothing) {
    buffer_count = 3;
    ASSERT_EQ(wave_out_init(48000), 0);
    EXPECT_EQ(fake_call_count("write"), 0);
    auto audio = test_audio(kSize, 1);
    EXPECT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_EQ(g_fake_device.sent, audio);
}

TEST_F(WaveOutQueueTest, ABufferThatNeverFinishesTimesOutAndLaterCallsAreHarmless) {
    ASSERT_EQ(wave_out_init(48000), 0);
    auto audio = test_audio(kSize, 1);
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    uint32_t start = g_fake_clock.now;
    testing::internal::CaptureStdout();
    EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTimeoutLine);
    EXPECT_GT(g_fake_clock.now - start, 15000u);
    EXPECT_LE(g_fake_clock.now - start, 15100u);
    EXPECT_FALSE(g_fake_device.open);

    // The job goes on calling: nothing reaches the device, nothing waits.
    size_t calls = g_fake_device.calls.size(), sleeps = g_fake_clock.sleeps.size();
    params_.staged_bytes = 5000;
    auto big = test_audio(3 * kSize, 2);
    EXPECT_EQ(send(big), 5000);
    params_.flush_staged = 1;
    EXPECT_EQ(send(big), -1);
    EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    EXPECT_EQ(wave_out_restart(), -2);
    EXPECT_EQ(wave_out_wrapup(0), 24);
    EXPECT_EQ(g_fake_device.calls.size(), calls);
    EXPECT_EQ(g_fake_clock.sleeps.size(), sleeps);
    EXPECT_EQ(wave_out_init(48000), 0);
}

TEST_F(WaveOutQueueTest, WrapupDrainsEvery200msUntilEveryBufferIsDone) {
    ASSERT_EQ(wave_out_init(48000), 0);
    g_fake_clock.on_sleep = [] { fake_finish_buffers(1); };
    EXPECT_EQ(wave_out_wrapup(0), 24);
    // 18 free, one more per poll: all 24 are seen at the 7th look, which still sleeps.
    EXPECT_EQ(g_fake_clock.sleeps, std::vector<uint32_t>(7, 200));
    EXPECT_EQ(fake_call_count("unprepare"), 24);
    EXPECT_EQ(g_fake_device.calls.back(), "close");

    ASSERT_EQ(wave_out_init(48000), 0);
    g_fake_clock.sleeps.clear();
    EXPECT_EQ(wave_out_wrapup(1), 24);
    EXPECT_TRUE(g_fake_clock.sleeps.empty());
    EXPECT_FALSE(g_fake_device.open);
}

TEST_F(WaveOutQueueTest, ADrainWithoutProgressGivesUpAfterFifteenSeconds) {
    ASSERT_EQ(wave_out_init(48000), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wave_out_wrapup(0), 24);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTimeoutLine);
    EXPECT_GT(g_fake_clock.now - 1000, 15000u);
    EXPECT_LE(g_fake_clock.now - 1000, 15400u);
    EXPECT_FALSE(g_fake_device.open);
}

TEST_F(WaveOutQueueTest, InitFailuresAreLoggedAndLeaveNothingForWrapup) {
    struct Case {
        const char* refused;
        MMRESULT code;
        int result;
        const char* log;
    };
    const Case cases[] = {
        {"query", WAVERR_BADFORMAT, -1, "Unsupported waveform format/rate: 32"},
        {"open", MMSYSERR_ALLOCATED, -2, "Unable to open waveform output device: 4\n"},
        {"reset", MMSYSERR_ERROR, -2, ""},
        // the refused prepare is logged and priming goes on; the unprepared write fails
        {"prepare", WAVERR_STILLPLAYING, -3,
         "Error on prepare to wave out device: 21\nError on write to wave out device: 34\n"},
        {"pause", WAVERR_STILLPLAYING, 0, "Error on pause of wave out device: 21\n"},
        {"restart", WAVERR_STILLPLAYING, 0, "Error on restart of wave out device: 21\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused);
        install_fakes();
        unlink("log.txt");
        g_fake_device.refuse[c.refused] = c.code;
        EXPECT_EQ(wave_out_init(96000), c.result);
        EXPECT_EQ(read_log(), c.log);
        if (c.result == 0) continue;
        EXPECT_FALSE(g_fake_device.open);
        size_t calls = g_fake_device.calls.size();
        EXPECT_EQ(wave_out_wrapup(1), 24);
        EXPECT_EQ(g_fake_device.calls.size(), calls);
    }
}

TEST_F(WaveOutQueueTest, DataoutFailuresLogInHexAndKeepTheNextBuffer) {
    ASSERT_EQ(wave_out_init(48000), 0);
    auto audio = test_audio(kSize, 1);
    for (const char* step : {"unprepare", "prepare", "write"}) {
        g_fake_device.refuse = {{step, WAVERR_STILLPLAYING}};
        EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    }
    g_fake_device.refuse.clear();
    EXPECT_EQ(read_log(),
              "Error on unprepare to wave out device: 21\n"
              "Error on prepare to wave out device: 21\n"
              "Error on write to wave out device: 21\n");
    // Had a failure moved on, the 18th of these would already wait.
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_TRUE(g_fake_clock.sleeps.empty());
}

struct CountingAllocator {
    int calls = 0;
    int fail_at = 0;  // 1-based; 0 never
    int outstanding = 0;
} g_counting;

const WaveBufferAllocator kCountingAllocator{[](size_t bytes) -> void* {
                                                 if (++g_counting.calls == g_counting.fail_at)
                                                     return nullptr;
                                                 g_counting.outstanding += 1;
                                                 return calloc(1, bytes);
                                             },
                                             [](void* block) {
                                                 if (block) g_counting.outstanding -= 1;
                                                 free(block);
                                             }};

TEST_F(WaveOutQueueTest, AFailedAllocationReleasesWhatInitTook) {
    wave_out_set_allocator(&kCountingAllocator);
    for (int fail_at : {1, 2, 17, 48}) {
        SCOPED_TRACE(fail_at);
        g_counting = CountingAllocator{0, fail_at, 0};
        EXPECT_EQ(wave_out_init(48000), kWaveOutNoMemory);
        EXPECT_EQ(g_counting.outstanding, 0);
        EXPECT_FALSE(g_fake_device.open);
        size_t calls = g_fake_device.calls.size();
        EXPECT_EQ(wave_out_wrapup(1), 24);
        EXPECT_EQ(g_fake_device.calls.size(), calls);
    }
    EXPECT_EQ(read_log().find("Unable to allocate wave out buffers: 24 of 16384 bytes\n"), 0u);

    // An init on an open queue shuts the old one first.
    g_counting = CountingAllocator{};
    ASSERT_EQ(wave_out_init(48000), 0);
    ASSERT_EQ(wave_out_init(44100), 0);
    EXPECT_EQ(g_counting.outstanding, 48);
    EXPECT_EQ(fake_call_count("open"), fake_call_count("close") + 1);
}

TEST_F(WaveOutQueueTest, BufferSettingsOutsideTheLimitsOpenNothing) {
    const std::pair<int32_t, uint32_t> bad[] = {
        {0, kSize}, {65, kSize}, {-3, kSize}, {24, 0}, {24, kStagingBytes + 4}, {24, 16386}};
    for (auto [count, size] : bad) {
        SCOPED_TRACE(testing::Message() << count << " x " << size);
        buffer_count = count;
        buffer_size = size;
        EXPECT_EQ(wave_out_init(48000), kWaveOutBadBuffers);
        EXPECT_TRUE(g_fake_device.calls.empty());
        auto audio = test_audio(40000, 1);
        EXPECT_EQ(send(audio), 0);
    }
    buffer_count = kMaxWaveBuffers;
    buffer_size = kStagingBytes;
    EXPECT_EQ(wave_out_init(48000), 0);
    EXPECT_EQ(fake_call_count("write"), 16);
}

TEST_F(WaveOutQueueTest, RestartPrimesSilenceFromTheFirstBufferWithoutPausing) {
    ASSERT_EQ(wave_out_init(48000), 0);
    std::vector<WAVEHDR*> primed = g_fake_device.written;
    auto audio = test_audio(kSize, 1);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    g_fake_device.calls.clear();
    g_fake_device.written.clear();
    g_fake_device.sent.clear();
    EXPECT_EQ(wave_out_restart(), 0);
    EXPECT_EQ(g_fake_device.calls.front(), "reset");
    EXPECT_EQ(g_fake_device.calls.back(), "restart");
    EXPECT_EQ(fake_call_count("pause"), 0);
    EXPECT_EQ(g_fake_device.written, primed);
    EXPECT_EQ(g_fake_device.sent, std::vector<uint8_t>(kPrimedBytes, 0));

    g_fake_device.refuse["write"] = WAVERR_STILLPLAYING;
    EXPECT_EQ(wave_out_restart(), -3);
    EXPECT_EQ(read_log(), "Error on write to wave out device: 33\n");
}

TEST_F(WaveOutQueueTest, OnlyUnexpectedCallbackMessagesAreLogged) {
    for (uint32_t message : {WOM_OPEN, WOM_DONE, WOM_CLOSE, 1000u}) {
        wave_out_callback(nullptr, message, 0, 0, 0);
    }
    EXPECT_EQ(read_log(), "callback msg: 1000\n");
}

}  // namespace
