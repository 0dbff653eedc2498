// The playback queue over a wave output device and a clock under the test's control. The
// device gives the result the test set for a call by name and finishes written buffers
// only when told to; the clock moves only by the sleeps asked.

#include "playback/wave_out_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "playback_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FakeDevice {
    std::map<std::string, MMRESULT> refuse;  // results by call name
    int calls = 0;
    int open = 0;                 // devices opened and not closed
    std::deque<WAVEHDR*> queued;  // written, not yet finished
    Bytes sent;                   // their bytes
} g_device;

constexpr uint32_t kStart = 1000;
uint32_t g_now;
std::function<void()> g_on_sleep;  // runs after the time has moved on

void set_flags(WAVEHDR* header, uint32_t set, uint32_t clear) {
    __atomic_store_n(&header->dwFlags, (header->dwFlags & ~clear) | set, __ATOMIC_RELEASE);
}

void finish_buffers(size_t count) {
    for (; count > 0 && !g_device.queued.empty(); --count) {
        set_flags(g_device.queued.front(), WHDR_DONE, WHDR_INQUEUE);
        g_device.queued.pop_front();
    }
}

MMRESULT device_call(const std::string& name, WAVEHDR* header = nullptr) {
    g_device.calls++;
    auto refused = g_device.refuse.find(name);
    if (refused != g_device.refuse.end()) return refused->second;
    if (name == "reset") finish_buffers(kMaxWaveBuffers);
    if (name == "close" && !g_device.queued.empty()) return WAVERR_STILLPLAYING;
    g_device.open += (name == "open") - (name == "close");
    if (name == "prepare") set_flags(header, WHDR_PREPARED, 0);
    if (name == "unprepare") set_flags(header, 0, WHDR_PREPARED);
    if (name != "write") return MMSYSERR_NOERROR;
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    set_flags(header, WHDR_INQUEUE, WHDR_DONE);
    g_device.queued.push_back(header);
    g_device.sent.insert(g_device.sent.end(), header->lpData,
                         header->lpData + header->dwBufferLength);
    return MMSYSERR_NOERROR;
}

MMRESULT fake_open(HWAVEOUT* handle, uint32_t, const WAVEFORMATEX* format, WaveOutProc, uintptr_t,
                   uint32_t flags) {
    bool query = flags & WAVE_FORMAT_QUERY;
    // Only the format the tape's audio needs is taken.
    if (format->nChannels != 2 || format->wBitsPerSample != 16) return WAVERR_BADFORMAT;
    MMRESULT r = device_call(query ? "query" : "open");
    if (r == MMSYSERR_NOERROR && !query) *handle = reinterpret_cast<HWAVEOUT>(&g_device);
    return r;
}

const WaveOutDriver kFakeDriver{
    fake_open,
    [](HWAVEOUT) { return device_call("reset"); },
    [](HWAVEOUT) { return device_call("pause"); },
    [](HWAVEOUT) { return device_call("restart"); },
    [](HWAVEOUT, WAVEHDR* h, uint32_t) { return device_call("prepare", h); },
    [](HWAVEOUT, WAVEHDR* h, uint32_t) { return device_call("write", h); },
    [](HWAVEOUT, WAVEHDR* h, uint32_t) { return device_call("unprepare", h); },
    [](HWAVEOUT) { return device_call("close"); }};

const PlatformClock kFakeClock{[] { return g_now; },
                               [](uint32_t ms) {
                                   g_now += ms;
                                   if (g_on_sleep) g_on_sleep();
                               }};

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
        wave_out_set_driver(nullptr);
        platform_set_clock(nullptr);
    }
    static void install_fakes() {
        g_device = FakeDevice{};
        g_now = kStart;
        g_on_sleep = nullptr;
        wave_out_set_driver(&kFakeDriver);
        platform_set_clock(&kFakeClock);
    }
    int send(const Bytes& bytes) {
        return output_waveout(bytes.data(), static_cast<uint32_t>(bytes.size()), &params_);
    }
    // What reached the device after the primed silence, which must be silence.
    static Bytes sent_audio() {
        const size_t primed = std::min(kPrimedBytes, g_device.sent.size());
        EXPECT_EQ(Bytes(g_device.sent.begin(), g_device.sent.begin() + primed), Bytes(primed, 0));
        return Bytes(g_device.sent.begin() + primed, g_device.sent.end());
    }
    // Nothing of a failed or closed queue is touched again.
    static void expect_wrapup_touches_nothing() {
        int calls = g_device.calls;
        EXPECT_EQ(wave_out_wrapup(0), buffer_count);
        EXPECT_EQ(g_device.calls, calls);
        EXPECT_EQ(g_device.open, 0);
    }

    ScratchDirectory scratch_;
    ParamBlock params_{};
};

TEST_F(WaveOutQueueTest, EveryByteGoesOutInOrderInWholeBuffersAndAFlushAddsSilence) {
    ASSERT_EQ(wave_out_init(32000), 0);
    g_on_sleep = [] { finish_buffers(kMaxWaveBuffers); };  // plays whenever the producer waits
    const uint32_t sizes[] = {3840, 5760, 7680, 1, 0, kSize - 1, kStagingBytes + 50000, 4, 12000};
    Bytes all;
    for (uint32_t i = 0; i < 60; ++i) {
        Bytes chunk = test_audio(sizes[i % 9], i);
        all.insert(all.end(), chunk.begin(), chunk.end());
        int staged = send(chunk);
        ASSERT_TRUE(staged >= 0 && staged <= static_cast<int>(kSize)) << i;
        ASSERT_EQ(sent_audio(), Bytes(all.begin(), all.end() - staged)) << i;
    }
    // A flush sends the staged bytes, then those given with it, completed with silence.
    Bytes tail = test_audio(kSize + 20, 9);
    params_.flush_staged = 1;
    EXPECT_EQ(send(tail), 0);
    all.insert(all.end(), tail.begin(), tail.end());
    all.resize((all.size() + kSize - 1) / kSize * kSize, 0);
    EXPECT_EQ(sent_audio(), all);
}

// 18 buffers fit beside the 6 primed ones. A device that finishes none is waited for on
// the device's clock, and given up in the 16th second.
TEST_F(WaveOutQueueTest, ADeviceThatFinishesNothingIsGivenUpAfter15sAndLaterCallsAreHarmless) {
    ASSERT_EQ(wave_out_init(48000), 0);
    Bytes audio = test_audio(kSize, 1);
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    g_on_sleep = [] {
        if (g_now - kStart >= 14900) finish_buffers(1);
    };
    EXPECT_EQ(wave_out_dataout(audio.data()), 0);
    g_on_sleep = nullptr;
    const uint32_t waiting_from = g_now;
    testing::internal::CaptureStdout();
    EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    EXPECT_EQ(std::tuple(testing::internal::GetCapturedStdout(), (g_now - waiting_from) / 1000,
                         wave_out_lost_audio()),
              std::tuple(kTimeoutLine, 15u, true));

    // The job goes on calling: nothing reaches the device, nothing waits.
    const auto before = std::make_pair(g_device.calls, g_now);
    params_.staged_bytes = 5000;
    EXPECT_EQ(send(test_audio(3 * kSize + 1, 2)), 5000);
    params_.flush_staged = 1;
    EXPECT_EQ(send(audio), -1);
    EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    EXPECT_EQ(wave_out_restart(), -2);
    EXPECT_EQ(std::make_pair(g_device.calls, g_now), before);
    expect_wrapup_touches_nothing();
    EXPECT_EQ(wave_out_init(48000), 0);
    EXPECT_FALSE(wave_out_lost_audio());
}

// A slow device (a buffer every 3 s, 18 s for the primed six) is waited for to the end;
// one that stops is given up 15 s after its last buffer.
TEST_F(WaveOutQueueTest, WrapupWaitsForEveryBufferWhileTheDeviceMovesOn) {
    for (size_t stops_after : {size_t{6}, size_t{2}}) {
        SCOPED_TRACE(stops_after);
        install_fakes();
        ASSERT_EQ(wave_out_init(48000), 0);
        static uint32_t finished_at;
        static size_t finished;
        finished_at = g_now;
        finished = 0;
        g_on_sleep = [stops_after] {
            if (g_now - finished_at < 3000 || finished == stops_after) return;
            finish_buffers(1);
            finished++;
            finished_at = g_now;
        };
        testing::internal::CaptureStdout();
        EXPECT_EQ(wave_out_wrapup(0), 24);
        const bool stopped = stops_after < 6;
        EXPECT_EQ(
            std::tuple(testing::internal::GetCapturedStdout(), wave_out_lost_audio(),
                       (g_now - finished_at) / 1000, g_device.open, finished),
            std::tuple(stopped ? kTimeoutLine : "", stopped, stopped ? 15u : 0u, 0, stops_after));
    }
}

TEST_F(WaveOutQueueTest, InitFailuresAreLoggedAndLeaveNothingForWrapup) {
    const std::tuple<const char*, MMRESULT, int, const char*> cases[] = {
        {"query", WAVERR_BADFORMAT, -1, "Unsupported waveform format/rate: 32"},
        {"query", MMSYSERR_BADDEVICEID, -2, "Unable to open waveform output device: 2\n"},
        {"open", MMSYSERR_ALLOCATED, -2, "Unable to open waveform output device: 4\n"},
        {"reset", MMSYSERR_ERROR, -2, ""},
        // the refused prepare is logged and priming goes on; the unprepared write fails
        {"prepare", WAVERR_STILLPLAYING, -3,
         "Error on prepare to wave out device: 21\nError on write to wave out device: 34\n"},
        {"pause", WAVERR_STILLPLAYING, 0, "Error on pause of wave out device: 21\n"},
        {"restart", WAVERR_STILLPLAYING, 0, "Error on restart of wave out device: 21\n"},
    };
    for (const auto& [refused, code, result, log] : cases) {
        SCOPED_TRACE(refused);
        install_fakes();
        unlink("log.txt");
        g_device.refuse[refused] = code;
        EXPECT_EQ(wave_out_init(96000), result);
        EXPECT_EQ(read_log(), log);
        if (result != 0) expect_wrapup_touches_nothing();
    }
}

TEST_F(WaveOutQueueTest, DataoutFailuresLogInHexAndKeepTheNextBuffer) {
    ASSERT_EQ(wave_out_init(48000), 0);
    Bytes audio = test_audio(kSize, 1);
    for (const char* step : {"unprepare", "prepare", "write"}) {
        g_device.refuse = {{step, WAVERR_STILLPLAYING}};
        EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    }
    g_device.refuse.clear();
    EXPECT_EQ(std::pair(wave_out_lost_audio(), read_log()),
              std::pair(true, std::string("Error on unprepare to wave out device: 21\n"
                                          "Error on prepare to wave out device: 21\n"
                                          "Error on write to wave out device: 21\n")));
    // Had a failure moved on, the 18th of these would wait, and time out.
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_EQ(wave_out_wrapup(1), 24);
    EXPECT_EQ(std::pair(g_now, g_device.open), std::pair(kStart, 0))
        << "a full ring is not waited for";
}

int g_allocations, g_fail_at, g_outstanding;  // fail_at is 1-based; 0 never
const WaveBufferAllocator kCountingAllocator{[](size_t bytes) -> void* {
                                                 if (++g_allocations == g_fail_at) return nullptr;
                                                 g_outstanding += 1;
                                                 return calloc(1, bytes);
                                             },
                                             [](void* block) {
                                                 if (block) g_outstanding -= 1;
                                                 free(block);
                                             }};

TEST_F(WaveOutQueueTest, AFailedAllocationReleasesWhatInitTookAndAnInitShutsTheOldQueue) {
    wave_out_set_allocator(&kCountingAllocator);
    for (int fail_at : {1, 2, 17, 48}) {
        g_allocations = g_outstanding = 0;
        g_fail_at = fail_at;
        EXPECT_EQ(wave_out_init(48000), kWaveOutNoMemory);
        EXPECT_EQ(g_outstanding, 0) << fail_at;
        expect_wrapup_touches_nothing();
    }
    EXPECT_EQ(read_log().find("Unable to allocate wave out buffers: 24 of 16384 bytes\n"), 0u);
    g_fail_at = 0;
    ASSERT_EQ(wave_out_init(48000), 0);
    ASSERT_EQ(wave_out_init(44100), 0);
    EXPECT_EQ(std::make_pair(g_outstanding, g_device.open), std::make_pair(48, 1));
}

TEST_F(WaveOutQueueTest, BufferSettingsOutsideTheLimitsOpenNothing) {
    const std::pair<int32_t, uint32_t> bad[] = {
        {0, kSize}, {65, kSize}, {-3, kSize}, {24, 0}, {24, kStagingBytes + 4}, {24, 16386}};
    for (auto [count, size] : bad) {
        buffer_count = count;
        buffer_size = size;
        EXPECT_EQ(wave_out_init(48000), kWaveOutBadBuffers) << count << " x " << size;
        EXPECT_EQ(g_device.calls, 0);
        EXPECT_EQ(send(test_audio(40000, 1)), 0);
    }
}

// Once the ring has gone round, a restart primes silence again from the first buffer.
TEST_F(WaveOutQueueTest, RestartPrimesSilenceFromTheFirstBuffer) {
    ASSERT_EQ(wave_out_init(48000), 0);
    std::deque<WAVEHDR*> primed = g_device.queued;
    g_on_sleep = [] { finish_buffers(kMaxWaveBuffers); };
    for (uint32_t i = 0; i < 30; ++i) ASSERT_EQ(wave_out_dataout(test_audio(kSize, i).data()), 0);
    g_device.sent.clear();
    EXPECT_EQ(wave_out_restart(), 0);
    EXPECT_EQ(std::pair(g_device.queued, g_device.sent), std::pair(primed, Bytes(kPrimedBytes, 0)));

    g_device.refuse["write"] = WAVERR_STILLPLAYING;
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
