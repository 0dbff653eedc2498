// Error concealment on arbitrary frames, called as the extraction calls it: the PCM
// byte count from the frame's rate code, the error flags from sub-ID byte 3. Source and
// target hold exactly that many bytes, and every sample that changes must be one that
// the repair may touch, set to the mean of its neighbours in the source.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame/audio_frame.h"
#include "frame/concealment.h"

namespace {

int sample(const uint8_t* pcm, int index) {
    return int16_t(uint16_t(pcm[2 * index] | (pcm[2 * index + 1] << 8)));
}

void check_repairs(const uint8_t* source, const uint8_t* target, int n) {
    const int samples = n / 2;
    for (int i = 0; i < samples; ++i) {
        if (sample(target, i) == sample(source, i)) continue;
        const int pair = i / 2;
        const bool centre = pair >= 1 && pair <= n / 4 - 3;
        if (centre && sample(target, i) == (sample(source, i - 2) + sample(source, i + 2)) / 2) {
            continue;
        }
        fprintf(stderr, "concealment: broken promise: sample %d may not become %d\n", i,
                sample(target, i));
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AudioFrame frame{};
    memcpy(&frame, data, size < sizeof frame ? size : sizeof frame);
    const int n = audio_bytes_per_frame(frame_rate_code(frame), 16);
    auto source = std::make_unique<uint8_t[]>(n);
    auto target = std::make_unique<uint8_t[]>(n);
    memcpy(source.get(), frame.audio, n);
    memcpy(target.get(), frame.audio, n);
    conceal_errors(source.get(), target.get(), n, frame_error_flags(frame));
    check_repairs(source.get(), target.get(), n);
    return 0;
}
