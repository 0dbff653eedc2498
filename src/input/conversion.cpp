#include "input/conversion.h"

#include <cstdio>

#include "platform/resampler.h"

namespace {

constexpr uint64_t kDitherSeed = 0x7E7A0D17u;
constexpr double kFullScale = 32768.0;

struct Conversion {
    FloatSource source;
    Resampler* resampler;
    bool dither;
    bool source_ended;
    const float* pending;  // the part of the source's block the resampler has not taken
    int32_t pending_frames;
    uint64_t random;
    int64_t clipped;
    float resampled[kBlockFrames * 2];
    int16_t pcm[kBlockFrames * 2];
};

Conversion conversion;

// splitmix64: fast, and its 64 bits give the two uniform values one sample needs.
uint64_t next_random() {
    uint64_t z = (conversion.random += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// The sum of two uniform values in [-0.5, 0.5): triangular over (-1, 1).
double tpdf() {
    uint64_t bits = next_random();
    return (double(uint32_t(bits)) + double(uint32_t(bits >> 32))) * 0x1p-32 - 1.0;
}

// Rounds to the nearest 16-bit value and clips: floor(x + 0.5) taken as a truncation of
// a value kept non-negative.
int16_t to_16_bit(double x) {
    double shifted = x + kFullScale + 0.5;
    if (shifted < 0.0) shifted = 0.0;
    if (shifted > 65535.0) shifted = 65535.0;
    return int16_t(int32_t(shifted) - 32768);
}

void quantize(const float* in, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        double x = in[i];
        if (x != x) x = 0.0;  // NaN carries no sound
        if (x > kFullScale || x < -kFullScale) ++conversion.clipped;
        if (conversion.dither) x += tpdf();
        conversion.pcm[i] = to_16_bit(x);
    }
}

bool hand_over(const float* samples, int32_t frames, const uint8_t** piece, int32_t* length) {
    quantize(samples, frames * 2);
    *piece = reinterpret_cast<const uint8_t*>(conversion.pcm);
    *length = frames * 4;
    return true;
}

bool next_resampled(const uint8_t** piece, int32_t* length) {
    Conversion& c = conversion;
    for (;;) {
        if (c.pending_frames == 0 && !c.source_ended && !c.source(&c.pending, &c.pending_frames)) {
            c.source_ended = true;
            c.pending_frames = 0;
        }
        size_t used = 0, made = 0;
        const char* error = nullptr;
        const float* in = c.source_ended ? nullptr : c.pending;
        if (resampler_process(c.resampler, in, size_t(c.pending_frames), &used, c.resampled,
                              kBlockFrames, &made, &error) != 0) {
            printf("resampling failed: %s\n", error);
            return false;
        }
        if (!c.source_ended) {
            c.pending += 2 * used;
            c.pending_frames -= int32_t(used);
        }
        if (made > 0) return hand_over(c.resampled, int32_t(made), piece, length);
        if (c.source_ended) return false;
    }
}

}  // namespace

int conversion_start(const ConversionPlan& plan, FloatSource source, std::string* error) {
    conversion_end();
    conversion.source = source;
    conversion.dither = plan.dither;
    conversion.random = kDitherSeed;
    if (plan.in_rate == plan.out_rate) return 1;
    const char* reason = nullptr;
    if (resampler_create(plan.in_rate, plan.out_rate, 2, &conversion.resampler, &reason) != 0) {
        *error = reason ? reason : "unknown error";
        return 0;
    }
    return 1;
}

bool conversion_next_piece(const uint8_t** piece, int32_t* length) {
    if (conversion.resampler) return next_resampled(piece, length);
    const float* block = nullptr;
    int32_t frames = 0;
    if (!conversion.source || !conversion.source(&block, &frames)) return false;
    if (frames <= 0 || frames > kBlockFrames) return false;
    return hand_over(block, frames, piece, length);
}

int64_t conversion_clipped() {
    return conversion.clipped;
}

void conversion_end() {
    resampler_delete(conversion.resampler);
    conversion.resampler = nullptr;
    conversion.source = nullptr;
    conversion.source_ended = false;
    conversion.pending = nullptr;
    conversion.pending_frames = 0;
    conversion.clipped = 0;
}
