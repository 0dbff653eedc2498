#pragma once
// The last steps from a file's samples to the tape's 16-bit PCM: a change of sampling
// rate (libsoxr, very high quality) when the tape cannot carry the file's rate, and the
// reduction to 16 bits with TPDF dither when the samples carry more than 16 bits (or
// come out of the resampler). Samples that need neither pass unchanged.
//
// Dither: two independent uniform values in [-0.5, 0.5) of a 16-bit step are added to
// every sample before it is rounded to the nearest 16-bit value; the generator starts
// from the same seed for every file, so a recording can be repeated bit for bit.
// Samples beyond full scale are clipped and counted. One conversion at a time: its state
// is a single module-wide instance.

#include <cstdint>
#include <string>

#include "input/pcm_queue.h"

// Stereo sample frames a source block holds at most.
constexpr int32_t kBlockFrames = kPcmPieceBytes / 4;

// Gives the next block of interleaved stereo floats in units of a 16-bit step (full scale
// at +-32768), 1 to kBlockFrames frames; false at the end. Valid until the next call.
using FloatSource = bool (*)(const float** block, int32_t* frames);

struct ConversionPlan {
    int32_t in_rate;
    int32_t out_rate;  // the same rate: no resampling
    bool dither;       // else the samples must already be whole 16-bit values
};

// 1 when the conversion is ready; 0 with the reason in *error.
int conversion_start(const ConversionPlan& plan, FloatSource source, std::string* error);
// The converted 16-bit stereo PCM, piece by piece: a PcmSource for the queue.
bool conversion_next_piece(const uint8_t** piece, int32_t* length);
// Samples clipped at full scale since the start.
int64_t conversion_clipped();
void conversion_end();
