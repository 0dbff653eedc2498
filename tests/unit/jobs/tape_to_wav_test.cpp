// The extraction job against the fake drive, where a file that takes no more data can be
// set up. Everything else is covered end to end against the virtual drive.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_tape.h"
#include "jobs/jobs.h"
#include "jobs/wav_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Frame n of a 48 kHz program: its absolute time and audio bytes are functions of n.
AudioFrame tape_frame(int n) {
    AudioFrame frame{};
    for (int i = 0; i < kAudioAreaBytes; ++i) {
        frame.audio[i] = static_cast<uint8_t>(n * 31 + i * 7 + (i >> 8));
    }
    frame.packs[0].bytes[0] = 0x20;  // item 2: absolute time, program 1
    frame.packs[0].bytes[1] = 0x01;
    frame.packs[0].bytes[6] = static_cast<uint8_t>(n);
    return frame;
}

TEST(TapeToWav, AFileThatTakesNoMoreEndsTheJobWithAHeaderForWhatItHolds) {
    char dir[] = "/tmp/tape_to_wav_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    FakeTape tape;
    for (int n = 0; n < 10; ++n) tape.frames.push_back(tape_frame(n));
    JobState job{};
    snprintf(job.file_name, sizeof job.file_name, "%s/Take", dir);
    ParamBlock params{};

    // Room for the header, two frames and 1002 bytes of the third.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = kWavHeaderBytes + 2 * 5760 + 1002;
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    fake_tape_install(&tape);
    testing::internal::CaptureStdout();
    FrameSource drive;
    frame_source_open(&drive, &job);
    const int result = tape_to_wav(&job, &params, &drive);
    const std::string out = testing::internal::GetCapturedStdout();
    fake_tape_remove();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(result, kJobEndedEarly);
    EXPECT_THAT(out, testing::HasSubstr("Take1.wav failed: File too large\n"));
    EXPECT_EQ(tape.read_position, 3u);  // no frame was read after the failed write
    // Only whole frames count: the part of the third that was written is cut off.
    uint8_t header[kWavHeaderBytes];
    build_wav_header(header, 2 * 5760, 0);
    Bytes expected(header, header + kWavHeaderBytes);
    for (int n = 0; n < 2; ++n) {
        const AudioFrame& frame = tape.frames[n];
        expected.insert(expected.end(), frame.audio, frame.audio + 5760);
    }
    std::ifstream file(std::string(dir) + "/Take1.wav", std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), expected);
    std::system((std::string("rm -rf '") + dir + "'").c_str());
}

}  // namespace
