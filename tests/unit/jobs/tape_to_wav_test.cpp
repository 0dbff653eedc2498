// The extraction job against the fake drive: what reaches the WAV files and how each
// track ends. The full console runs are covered end to end against the virtual drive.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_tape.h"
#include "frame/long_play.h"
#include "jobs/jobs.h"
#include "jobs/wav_header.h"

namespace {

using testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kRate32k = 0x08;   // format byte 0
constexpr uint8_t kLongPlay = 0x40;  // format byte 1

// Frame n of a program: its audio bytes are a function of n, so frames can be told apart.
AudioFrame tape_frame(int n, uint8_t rate_bits = 0, uint8_t quantization = 0) {
    AudioFrame frame = numbered_frame(n);
    for (int i = 0; i < kAudioAreaBytes; ++i) {
        frame.audio[i] = static_cast<uint8_t>(n * 31 + i * 7 + (i >> 8));
    }
    frame.format[0] = rate_bits;
    frame.format[1] = quantization;
    return frame;
}

Bytes pcm_of(const AudioFrame& frame, int bytes) {
    return Bytes(frame.audio, frame.audio + bytes);
}

Bytes lp_pcm_of(const AudioFrame& frame) {
    Bytes pcm(kLongPlayPcmBytes);
    decode_lp_frame(pcm.data(), frame.audio);
    return pcm;
}

void append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

Bytes read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes wav_file(const Bytes& data, int rate_code) {
    uint8_t header[kWavHeaderBytes];
    build_wav_header(header, static_cast<uint32_t>(data.size()), rate_code);
    Bytes file(header, header + kWavHeaderBytes);
    append(file, data);
    return file;
}

class TapeToWav : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tape_to_wav_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        snprintf(job_.file_name, sizeof job_.file_name, "%s/Take", dir_.c_str());
        build_lp_tables();
        fake_tape_install(&tape_);
        fake_keys_install(0);
    }
    void TearDown() override {
        wav_set_data_limit(0);
        fake_keys_remove();
        fake_tape_remove();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    int run() {
        testing::internal::CaptureStdout();
        int result = tape_to_wav(&job_, &params_);
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    Bytes track(int n) { return read_file(dir_ + "/Take" + std::to_string(n) + ".wav"); }
    bool track_exists(int n) { return !track(n).empty(); }

    FakeTape tape_;
    JobState job_{};
    ParamBlock params_{};
    std::string dir_, out_;
};

TEST_F(TapeToWav, BytesPerFrameFollowEachFrameWhenTheQuantizationChanges) {
    Bytes expected;
    for (int n = 0; n < 7; ++n) {
        uint8_t quantization = (n == 3 || n == 4) ? kLongPlay : 0;
        tape_.frames.push_back(tape_frame(n, kRate32k, quantization));
        if (n == 0) continue;
        append(expected,
               quantization ? lp_pcm_of(tape_.frames.back()) : pcm_of(tape_.frames.back(), 3840));
    }
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(track(1), wav_file(expected, 2));
}

TEST_F(TapeToWav, AFailedFirstReadLeavesAnEmptyValidFile) {
    for (int n = 0; n < 4; ++n) tape_.frames.push_back(tape_frame(n));
    tape_.medium_error_at = 1;
    EXPECT_EQ(run(), 0);
    EXPECT_THAT(out_, HasSubstr("loop1 read audio block failed: 4031100\n"));
    EXPECT_EQ(track(1), wav_file({}, 0));
}

TEST_F(TapeToWav, WithStopEotAFailedFirstReadIsStoredAsZerosAndTheJobGoesOn) {
    for (int n = 0; n < 4; ++n) tape_.frames.push_back(tape_frame(n));
    tape_.medium_error_at = 1;
    job_.stop_at_eot = 1;
    Bytes expected(5760, 0);
    append(expected, pcm_of(tape_.frames[2], 5760));
    append(expected, pcm_of(tape_.frames[3], 5760));
    // The end of the recorded data ends the job even with /STOPEOT.
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(track(1), wav_file(expected, 0));
}

TEST_F(TapeToWav, TheFirstStoredFrameSetsTheRateAndTheEndOfDataRestartsNothing) {
    tape_.frames.push_back(tape_frame(0));  // 48 kHz probe
    Bytes expected;
    for (int n = 1; n < 4; ++n) {
        tape_.frames.push_back(tape_frame(n, 0x04));
        append(expected, pcm_of(tape_.frames.back(), 5292));
    }
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(track(1), wav_file(expected, 1));
}

TEST_F(TapeToWav, ALimitBelowOneFrameStillStoresOneFramePerFile) {
    for (int n = 0; n < 4; ++n) tape_.frames.push_back(tape_frame(n));
    wav_set_data_limit(100);
    EXPECT_EQ(run(), 0);
    for (int file = 1; file <= 3; ++file) {
        EXPECT_EQ(track(file), wav_file(pcm_of(tape_.frames[file], 5760), 0));
    }
}

TEST_F(TapeToWav, AFileThatTakesNoMoreEndsTheJobWithAHeaderForWhatItHolds) {
    for (int n = 0; n < 10; ++n) tape_.frames.push_back(tape_frame(n));
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = kWavHeaderBytes + 2 * 5760 + 1002;
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = run();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(result, 0);
    EXPECT_THAT(out_, HasSubstr("Take1.wav failed: File too large\n"));
    Bytes expected = pcm_of(tape_.frames[1], 5760);
    append(expected, pcm_of(tape_.frames[2], 5760));
    append(expected, Bytes(tape_.frames[3].audio, tape_.frames[3].audio + 1000));
    EXPECT_EQ(track(1), wav_file(expected, 0));
    EXPECT_EQ(tape_.read_position, 4u);  // no frame was read after the failed write
}

}  // namespace
