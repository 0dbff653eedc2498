#pragma once
// Sample-rate conversion of interleaved float samples with libsoxr's very high quality
// recipe (a linear-phase filter with its pass band flat to 0.1 dB over 91 % of the
// lower Nyquist frequency and its stop band below 170 dB).

#include <cstddef>
#include <cstdint>

struct Resampler;

// 0 with *resampler set, or -1 with the library's reason in *error.
int resampler_create(double in_rate, double out_rate, int channels, Resampler** resampler,
                     const char** error);
// Takes up to in_frames frames (nullptr: the input has ended, flush what is held) and
// gives up to out_frames; *consumed and *produced tell how many. 0, or -1 with *error.
int resampler_process(Resampler* resampler, const float* in, size_t in_frames, size_t* consumed,
                      float* out, size_t out_frames, size_t* produced, const char** error);
// nullptr is fine.
void resampler_delete(Resampler* resampler);
