// Per-frame cost of decoding the subcode and showing the status line. A tape plays
// 33 1/3 frames a second; the decoder should not be what holds a transfer back.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/job_state.h"
#include "frame/audio_frame.h"
#include "frame/subcode_reader.h"

namespace {

// Sends the status output to /dev/null while a benchmark runs; the benchmark's own
// report still reaches the terminal afterwards.
class SilencedStdout {
public:
    SilencedStdout() {
        fflush(stdout);
        saved_fd_ = dup(STDOUT_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, STDOUT_FILENO);
            close(null_fd);
        }
    }
    ~SilencedStdout() {
        fflush(stdout);
        if (saved_fd_ >= 0) {
            dup2(saved_fd_, STDOUT_FILENO);
            close(saved_fd_);
        }
    }
    SilencedStdout(const SilencedStdout&) = delete;
    SilencedStdout& operator=(const SilencedStdout&) = delete;

private:
    int saved_fd_ = -1;
};

void put_pack(SubcodePack* pack, const uint8_t (&bytes)[7]) {
    uint8_t parity = 0;
    for (int i = 0; i < 7; ++i) {
        pack->bytes[i] = bytes[i];
        parity ^= bytes[i];
    }
    pack->bytes[7] = parity;
}

// A frame recorded with all seven packs: program and absolute time packs of program 3,
// repeated, and a date pack; 48 kHz, 2 channels, 16 bits.
void build_frame(AudioFrame* frame) {
    std::memset(frame, 0, sizeof *frame);
    const uint8_t program_time[7] = {0x10, 0x03, 0x01, 0x00, 0x02, 0x11, 0x30};
    const uint8_t absolute_time[7] = {0x20, 0x03, 0x01, 0x00, 0x12, 0x34, 0x05};
    const uint8_t date[7] = {0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09};
    put_pack(&frame->packs[0], program_time);
    put_pack(&frame->packs[1], absolute_time);
    put_pack(&frame->packs[2], date);
    put_pack(&frame->packs[3], program_time);
    put_pack(&frame->packs[4], absolute_time);
    put_pack(&frame->packs[5], program_time);
    put_pack(&frame->packs[6], absolute_time);
    frame->sub_id[1] = 0x07;
    frame->sub_id[2] = 0x03;
}

// The next frame of the tape: every time pack one frame on.
void step_frame(AudioFrame* frame) {
    for (SubcodePack& pack : frame->packs) {
        const int item = pack_item(pack);
        if (item == kItemProgramTime || item == kItemAbsoluteTime) {
            bcd_time_advance(&pack.bytes[3]);
        }
    }
}

void BM_ReadSubcode(benchmark::State& state) {
    static AudioFrame frame;
    build_frame(&frame);
    JobState job{};
    SilencedStdout silenced;
    for (auto _ : state) {
        step_frame(&frame);
        read_subcode(&frame, &job);
        benchmark::DoNotOptimize(job);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadSubcode);

void BM_ReadSubcodeAndStatusLine(benchmark::State& state) {
    static AudioFrame frame;
    build_frame(&frame);
    JobState job{};
    SilencedStdout silenced;
    for (auto _ : state) {
        step_frame(&frame);
        read_subcode(&frame, &job);
        print_status_line(&job);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadSubcodeAndStatusLine);

}  // namespace

BENCHMARK_MAIN();
