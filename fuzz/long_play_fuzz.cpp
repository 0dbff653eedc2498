// The long-play decoder on the audio area of arbitrary frames. Every 12-bit code
// survives expansion and compression and the interleave is a permutation, so encoding
// the decoded PCM must give back the very bytes read from tape.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame/audio_frame.h"
#include "frame/long_play.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    build_lp_tables();  // as the run sequence does before any job
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Buffers of exactly the sizes the conversions promise to keep to.
    auto area = std::make_unique<uint8_t[]>(kAudioAreaBytes);
    auto pcm = std::make_unique<uint8_t[]>(kLongPlayPcmBytes);
    auto again = std::make_unique<uint8_t[]>(kAudioAreaBytes);
    memset(area.get(), 0, kAudioAreaBytes);
    memcpy(area.get(), data, size < kAudioAreaBytes ? size : kAudioAreaBytes);
    if (decode_lp_frame(pcm.get(), area.get()) != kLongPlayPcmBytes) abort();
    if (encode_lp_frame(again.get(), pcm.get()) != kAudioAreaBytes) abort();
    if (memcmp(area.get(), again.get(), kAudioAreaBytes) != 0) {
        fprintf(stderr, "long play: broken promise: decoding and encoding give back the area\n");
        abort();
    }
    return 0;
}
