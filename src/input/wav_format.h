#pragma once
// The format chunk of a WAV file and the conversion of its samples to the 16-bit stereo
// the tape carries.
//
//   offset size field (little-endian)
//        0    2 format tag: 1 PCM, 3 IEEE float, 0xFFFE extensible (others go to libsndfile)
//        2    2 channels
//        4    4 samples per second
//        8    4 bytes per second (not used)
//       12    2 block alignment (not used: the frame size follows from channels and bits)
//       14    2 bits per sample (the container size of each sample)
//       16    2 size of the extension (18-byte form and longer)
//       18    2 valid bits (extensible; the samples sit in the high bits of the container)
//       20    4 speaker positions (extensible; not used)
//       24   16 subformat GUID (extensible): its first two bytes are the format tag, the
//              other fourteen the fixed suffix 00 00 00 00 10 00 80 00 00 AA 00 38 9B 71

#include <cstddef>
#include <cstdint>

// The most of a format chunk the reader looks at.
constexpr size_t kWavFormatBytes = 40;

enum SampleCoding { CODING_UNSUPPORTED = 0, CODING_INTEGER = 1, CODING_FLOAT = 2 };

struct WavFormat {
    int32_t channels;
    int32_t sample_rate;
    int32_t bits_per_sample;
    SampleCoding coding;  // CODING_UNSUPPORTED also for a sample width we cannot convert
};

// Reads the fields from the first length bytes of a format chunk (missing bytes count as 0).
WavFormat parse_wav_format(const uint8_t* bytes, size_t length);

// Bytes of one sample frame (all channels) in the file.
int32_t wav_frame_bytes(const WavFormat& format);

// Converts frames sample frames to interleaved stereo floats in units of a 16-bit step
// (full scale at +-32768): 8-bit (unsigned) widened, 24- and 32-bit integers scaled down
// with their low bits kept as fractions, float scaled by 32768; mono on both channels.
void wav_to_stereo_float(const WavFormat& format, const uint8_t* in, int32_t frames, float* out);
