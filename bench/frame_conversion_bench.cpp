// Per-frame cost of the long-play conversions and the error concealment, in frames per
// second of one core (items_per_second). Real time needs 33 1/3 frames a second.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "frame/audio_frame.h"
#include "frame/concealment.h"
#include "frame/long_play.h"

namespace {

// A fast sawtooth with a little noise, so the samples fall in every code segment.
std::vector<uint8_t> make_pcm(int bytes) {
    std::vector<uint8_t> pcm(bytes);
    std::mt19937 random(7680);
    for (int i = 0; i < bytes / 2; ++i) {
        const int value = int((i * 977) % 65536) - 32768 + int(random() % 64);
        const int16_t sample = int16_t(value);
        pcm[2 * i] = uint8_t(uint16_t(sample) & 0xFF);
        pcm[2 * i + 1] = uint8_t(uint16_t(sample) >> 8);
    }
    return pcm;
}

void BM_decode_lp_frame(benchmark::State& state) {
    build_lp_tables();
    std::vector<uint8_t> area(kAudioAreaBytes);
    encode_lp_frame(area.data(), make_pcm(kLongPlayPcmBytes).data());
    std::vector<uint8_t> pcm(kLongPlayPcmBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_lp_frame(pcm.data(), area.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_decode_lp_frame);

void BM_encode_lp_frame(benchmark::State& state) {
    build_lp_tables();
    const std::vector<uint8_t> pcm = make_pcm(kLongPlayPcmBytes);
    std::vector<uint8_t> area(kAudioAreaBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(encode_lp_frame(area.data(), pcm.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_encode_lp_frame);

// A quiet 48 kHz frame with a spike in every 16th pair of each channel.
void BM_conceal_errors(benchmark::State& state) {
    std::vector<uint8_t> source(kAudioAreaBytes);
    for (int m = 0; m < kAudioAreaBytes / 4; ++m) {
        const int left = m % 16 == 5 ? 4000 : 100;
        const int right = m % 16 == 10 ? -4000 : -100;
        source[4 * m] = uint8_t(left & 0xFF);
        source[4 * m + 1] = uint8_t((left >> 8) & 0xFF);
        source[4 * m + 2] = uint8_t(right & 0xFF);
        source[4 * m + 3] = uint8_t((right >> 8) & 0xFF);
    }
    std::vector<uint8_t> target = source;
    for (auto _ : state) {
        conceal_errors(source.data(), target.data(), kAudioAreaBytes, 0x60);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_conceal_errors);

}  // namespace

BENCHMARK_MAIN();
