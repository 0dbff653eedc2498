// The last step of the jobs that write a file, on a disk that fills at the last moment:
// the close fails. This binary links with fclose wrapped, so that a test can refuse one.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_tape.h"
#include "jobs/jobs.h"
#include "jobs/wav_header.h"

static std::string g_refused_path;  // the file whose close fails, once it is written

extern "C" int __real_fclose(FILE* file);
extern "C" int __wrap_fclose(FILE* file) {
    char path[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(file));
    const bool refuse = readlink(link.c_str(), path, sizeof path - 1) > 0 && path == g_refused_path;
    const int result = __real_fclose(file);
    if (!refuse) return result;
    errno = ENOSPC;
    return EOF;
}

namespace {

// Both keep every frame read (the WAV file under a header that counts them all), and
// both end on the write error.
TEST(FileJobs, AFailedCloseEndsTheJobOnAWriteErrorWithEveryFrameKept) {
    FakeTape tape;
    tape.frames.resize(10);
    std::vector<uint8_t> wav(kWavHeaderBytes), image;
    build_wav_header(*reinterpret_cast<uint8_t(*)[kWavHeaderBytes]>(wav.data()), 10 * 5760, 0);
    for (int n = 0; n < 10; ++n) {
        AudioFrame& frame = tape.frames[n];
        for (int i = 0; i < 5760; ++i) frame.audio[i] = static_cast<uint8_t>(n * 31 + i * 7);
        // item 2: absolute time, program 1, frame n
        frame.packs[0] = {{0x20, 0x01, 0, 0, 0, 0, static_cast<uint8_t>(n)}};
        wav.insert(wav.end(), frame.audio, frame.audio + 5760);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&frame);
        image.insert(image.end(), bytes, bytes + kFrameBytes);
    }
    char dir[] = "/tmp/file_jobs_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    for (const auto& [file, expected] : {std::pair{"/Take1.wav", wav}, {"/Take.img", image}}) {
        g_refused_path = dir + std::string(file);
        tape.read_position = 0;
        JobState job{};
        snprintf(job.file_name, sizeof job.file_name, "%s/Take", dir);
        ParamBlock params{};
        fake_tape_install(&tape);
        testing::internal::CaptureStdout();
        FrameSource drive;
        frame_source_open(&drive, &job);
        const int result =
            expected == wav ? tape_to_wav(&job, &params, &drive) : dat_to_img(&job, &drive);
        const std::string out = testing::internal::GetCapturedStdout();
        fake_tape_remove();
        EXPECT_EQ(result, kJobEndedEarly) << file;
        EXPECT_THAT(out, testing::HasSubstr("ended at a write error: No space left on device\n"));
        std::ifstream written(g_refused_path, std::ios::binary);
        EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(written), {}), expected);
    }
    g_refused_path.clear();
    std::filesystem::remove_all(dir);
}

}  // namespace
