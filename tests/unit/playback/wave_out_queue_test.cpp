// The playback queue over a wave output device and a clock under the test's control. The
// device records every call by name, gives the result the test set for that name, and
// finishes written buffers only when told to; the clock moves only by the sleeps asked.

#include "playback/wave_out_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "playback_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FakeDevice {
    std::map<std::string, MMRESULT> refuse;  // results by call name
    std::vector<std::string> calls;
    bool open = false;
    WAVEFORMATEX format{};
    std::deque<WAVEHDR*> queued;  // written, not yet finished
    Bytes sent;                   // their bytes
} g_device;

uint32_t g_now;
std::vector<uint32_t> g_sleeps;
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

// Every call is recorded by name and gives the result the test set for that name.
MMRESULT device_call(const std::string& name, WAVEHDR* header = nullptr) {
    g_device.calls.push_back(name);
    auto refused = g_device.refuse.find(name);
    if (refused != g_device.refuse.end()) return refused->second;
    if (name == "reset") finish_buffers(kMaxWaveBuffers);
    if (name == "close" && !g_device.queued.empty()) return WAVERR_STILLPLAYING;
    if (name == "close") g_device.open = false;
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
    g_device.format = *format;
    bool query = flags & WAVE_FORMAT_QUERY;
    MMRESULT r = device_call(query ? "query" : "open");
    if (r == MMSYSERR_NOERROR && !query) {
        g_device.open = true;
        *handle = reinterpret_cast<HWAVEOUT>(&g_device);
    }
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
                                   g_sleeps.push_back(ms);
                                   if (g_on_sleep) g_on_sleep();
                               }};

int call_count(const char* name) {
    return static_cast<int>(std::count(g_device.calls.begin(), g_device.calls.end(), name));
}

constexpr uint32_t kSize = 16384;
constexpr size_t kPrimedBytes = 6 * kSize;
const std::string kTimeoutLine = "\n Error: timeout on waveout device\n";

Bytes join(std::initializer_list<Bytes> parts, size_t keep = ~0u) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    all.resize(std::min(keep, all.size()));
    return all;
}

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
        g_now = 1000;
        g_sleeps.clear();
        g_on_sleep = nullptr;
        wave_out_set_driver(&kFakeDriver);
        platform_set_clock(&kFakeClock);
    }
    int send(const Bytes& bytes) {
        return output_waveout(bytes.data(), static_cast<uint32_t>(bytes.size()), &params_);
    }
    // What reached the device after the primed silence.
    static Bytes sent_audio() {
        return Bytes(g_device.sent.begin() + std::min(kPrimedBytes, g_device.sent.size()),
                     g_device.sent.end());
    }
    // Nothing of a failed or closed queue is touched again.
    static void expect_wrapup_touches_nothing() {
        size_t calls = g_device.calls.size();
        EXPECT_EQ(wave_out_wrapup(1), buffer_count);
        EXPECT_EQ(g_device.calls.size(), calls);
        EXPECT_FALSE(g_device.open);
    }

    ScratchDirectory scratch_;
    ParamBlock params_{};
};

TEST_F(WaveOutQueueTest, StagingGathersChunksIntoWholeBuffers) {
    ASSERT_EQ(wave_out_init(48000), 0);
    Bytes a = test_audio(5760, 1), b = test_audio(5760, 2), c = test_audio(5760, 3);
    EXPECT_EQ(send(a), 5760);
    EXPECT_EQ(send(b), 11520);
    EXPECT_TRUE(sent_audio().empty());
    EXPECT_EQ(send(c), 896);
    EXPECT_EQ(sent_audio(), join({a, b, c}, kSize));

    // Filled exactly: the buffer waits, and goes out with the next call.
    Bytes d = test_audio(kSize - 896, 4), e = test_audio(3840, 5);
    EXPECT_EQ(send(d), static_cast<int>(kSize));
    EXPECT_EQ(sent_audio().size(), kSize);
    EXPECT_EQ(send(e), 3840);
    EXPECT_EQ(sent_audio(), join({a, b, c, d}));

    // Longer chunks send every buffer they complete; a full one may wait for the next call.
    Bytes f = test_audio(2 * kSize - 3840, 6), g = test_audio(kStagingBytes + 50000, 7);
    EXPECT_EQ(send(f), static_cast<int>(kSize));
    EXPECT_EQ(sent_audio(), join({a, b, c, d, e, f}, 3 * kSize));
    EXPECT_EQ(send(g), static_cast<int>((kSize + g.size()) % kSize));
    Bytes all = join({a, b, c, d, e, f, g});
    EXPECT_EQ(sent_audio(), join({all}, all.size() - params_.staged_bytes));
}

TEST_F(WaveOutQueueTest, EveryByteGoesOutInOrderAndAFlushAddsSilence) {
    ASSERT_EQ(wave_out_init(32000), 0);
    g_on_sleep = [] { finish_buffers(kMaxWaveBuffers); };  // plays whenever the producer waits
    const uint32_t sizes[] = {3840, 5760, 7680, 1, 0, 16384, 40000, 4, 12000};
    Bytes all;
    for (uint32_t i = 0; i < 120; ++i) {
        Bytes chunk = test_audio(sizes[i % 9], i);
        all.insert(all.end(), chunk.begin(), chunk.end());
        int staged = send(chunk);
        ASSERT_TRUE(staged >= 0 && staged <= static_cast<int>(kSize));
        ASSERT_EQ(sent_audio().size() + static_cast<size_t>(staged), all.size());
    }
    // A flush sends the staged bytes, then those given with it, completed with silence.
    Bytes tail = test_audio(kSize + 20, 9);
    params_.flush_staged = 1;
    EXPECT_EQ(send(tail), 0);
    all.insert(all.end(), tail.begin(), tail.end());
    all.resize((all.size() + kSize - 1) / kSize * kSize, 0);
    EXPECT_EQ(sent_audio(), all);
}

TEST_F(WaveOutQueueTest, InitPrimesAQuarterOfTheRingAndLeavesEighteenBuffersFree) {
    ASSERT_EQ(wave_out_init(44100), 0);
    std::vector<std::string> expected{"query", "open", "reset", "pause"};
    for (int i = 0; i < 6; ++i) expected.insert(expected.end(), {"prepare", "write"});
    expected.push_back("restart");
    EXPECT_EQ(g_device.calls, expected);
    const WAVEFORMATEX& f = g_device.format;
    EXPECT_EQ(std::vector<uint32_t>({f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.nAvgBytesPerSec,
                                     f.nBlockAlign, f.wBitsPerSample, f.cbSize}),
              std::vector<uint32_t>({1, 2, 44100, 176400, 4, 16, 0}));
    EXPECT_EQ(g_device.sent, Bytes(kPrimedBytes, 0));

    Bytes audio = test_audio(kSize, 7);
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_TRUE(g_sleeps.empty());
    // The 19th waits for the first primed buffer, polling every 100 ms.
    g_on_sleep = [] {
        if (g_sleeps.size() == 3) finish_buffers(1);
    };
    ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>(3, 100));
}

TEST_F(WaveOutQueueTest, ABufferThatNeverFinishesTimesOutAndLaterCallsAreHarmless) {
    ASSERT_EQ(wave_out_init(48000), 0);
    Bytes audio = test_audio(kSize, 1);
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTimeoutLine);
    EXPECT_GT(g_now - 1000, 15000u);
    EXPECT_LE(g_now - 1000, 15100u);
    EXPECT_FALSE(g_device.open);
    EXPECT_TRUE(wave_out_lost_audio());

    // The job goes on calling: nothing reaches the device, nothing waits.
    size_t calls = g_device.calls.size(), sleeps = g_sleeps.size();
    params_.staged_bytes = 5000;
    Bytes big = test_audio(3 * kSize + 1, 2);
    EXPECT_EQ(send(big), 5000);
    params_.flush_staged = 1;
    EXPECT_EQ(send(big), -1);
    EXPECT_EQ(wave_out_dataout(audio.data()), -1);
    EXPECT_EQ(wave_out_restart(), -2);
    EXPECT_EQ(g_device.calls.size(), calls);
    EXPECT_EQ(g_sleeps.size(), sleeps);
    expect_wrapup_touches_nothing();
    EXPECT_EQ(wave_out_init(48000), 0);
    EXPECT_FALSE(wave_out_lost_audio());
}

TEST_F(WaveOutQueueTest, WrapupDrainsEvery200msAndGivesUpWithoutProgressAfter15s) {
    ASSERT_EQ(wave_out_init(48000), 0);
    g_on_sleep = [] { finish_buffers(1); };
    EXPECT_EQ(wave_out_wrapup(0), 24);
    // 18 free, one more per poll: all 24 are seen at the 7th look, which still sleeps.
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>(7, 200));
    EXPECT_EQ(call_count("unprepare"), 24);
    EXPECT_EQ(g_device.calls.back(), "close");

    install_fakes();
    ASSERT_EQ(wave_out_init(48000), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(wave_out_wrapup(0), 24);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kTimeoutLine);
    EXPECT_GT(g_now - 1000, 15000u);
    EXPECT_LE(g_now - 1000, 15400u);
    EXPECT_FALSE(g_device.open);
    EXPECT_TRUE(wave_out_lost_audio());
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
    EXPECT_TRUE(wave_out_lost_audio());
    EXPECT_EQ(read_log(),
              "Error on unprepare to wave out device: 21\n"
              "Error on prepare to wave out device: 21\n"
              "Error on write to wave out device: 21\n");
    // Had a failure moved on, the 18th of these would already wait.
    for (int i = 0; i < 18; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_EQ(wave_out_wrapup(1), 24) << "a full ring is not waited for";
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_FALSE(g_device.open);
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

TEST_F(WaveOutQueueTest, AFailedAllocationReleasesWhatInitTook) {
    wave_out_set_allocator(&kCountingAllocator);
    for (int fail_at : {1, 2, 17, 48}) {
        SCOPED_TRACE(fail_at);
        g_allocations = g_outstanding = 0;
        g_fail_at = fail_at;
        EXPECT_EQ(wave_out_init(48000), kWaveOutNoMemory);
        EXPECT_EQ(g_outstanding, 0);
        expect_wrapup_touches_nothing();
    }
    EXPECT_EQ(read_log().find("Unable to allocate wave out buffers: 24 of 16384 bytes\n"), 0u);

    // An init on an open queue shuts the old one first.
    g_fail_at = 0;
    ASSERT_EQ(wave_out_init(48000), 0);
    ASSERT_EQ(wave_out_init(44100), 0);
    EXPECT_EQ(g_outstanding, 48);
    EXPECT_EQ(call_count("open"), call_count("close") + 1);
}

TEST_F(WaveOutQueueTest, BufferSettingsOutsideTheLimitsOpenNothing) {
    const std::pair<int32_t, uint32_t> bad[] = {
        {0, kSize}, {65, kSize}, {-3, kSize}, {24, 0}, {24, kStagingBytes + 4}, {24, 16386}};
    for (auto [count, size] : bad) {
        SCOPED_TRACE(testing::Message() << count << " x " << size);
        buffer_count = count;
        buffer_size = size;
        EXPECT_EQ(wave_out_init(48000), kWaveOutBadBuffers);
        EXPECT_TRUE(g_device.calls.empty());
        EXPECT_EQ(send(test_audio(40000, 1)), 0);
    }
    buffer_count = kMaxWaveBuffers;
    buffer_size = kStagingBytes;
    EXPECT_EQ(wave_out_init(48000), 0);
    EXPECT_EQ(call_count("write"), 16);

    // Fewer than four buffers prime nothing: playback starts with the first buffer.
    buffer_count = 3;
    buffer_size = kSize;
    install_fakes();
    ASSERT_EQ(wave_out_init(48000), 0);
    Bytes audio = test_audio(kSize, 1);
    EXPECT_EQ(wave_out_dataout(audio.data()), 0);
    EXPECT_EQ(g_device.sent, audio);
}

TEST_F(WaveOutQueueTest, RestartPrimesSilenceFromTheFirstBufferWithoutPausing) {
    ASSERT_EQ(wave_out_init(48000), 0);
    std::vector<WAVEHDR*> primed(g_device.queued.begin(), g_device.queued.end());
    Bytes audio = test_audio(kSize, 1);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(wave_out_dataout(audio.data()), 0);
    g_device.calls.clear();
    g_device.sent.clear();
    EXPECT_EQ(wave_out_restart(), 0);
    EXPECT_EQ(call_count("pause"), 0);
    EXPECT_EQ(std::vector<WAVEHDR*>(g_device.queued.begin(), g_device.queued.end()), primed);
    EXPECT_EQ(g_device.sent, Bytes(kPrimedBytes, 0));

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
