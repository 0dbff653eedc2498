#include "input/wav_format.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace {

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagFloat = 0x0003;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr size_t kSubformatOffset = 24;
constexpr uint8_t kSubformatSuffix[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint32_t little_endian(const uint8_t* p, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

// The extensible form names its coding by a GUID; only the two standard ones are ours.
uint16_t subformat_tag(const uint8_t* bytes, size_t length) {
    if (length < kSubformatOffset + 16) return 0;
    const uint8_t* guid = bytes + kSubformatOffset;
    if (memcmp(guid + 2, kSubformatSuffix, sizeof kSubformatSuffix) != 0) return 0;
    return uint16_t(little_endian(guid, 2));
}

SampleCoding coding_of(uint16_t tag, int32_t bits) {
    if (tag == kTagPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) {
        return CODING_INTEGER;
    }
    if (tag == kTagFloat && bits == 32) return CODING_FLOAT;
    return CODING_UNSUPPORTED;
}

int16_t clip16(int64_t value) {
    if (value > INT16_MAX) return INT16_MAX;
    if (value < INT16_MIN) return INT16_MIN;
    return int16_t(value);
}

// Integers wider than 16 bits keep their top 16 bits, rounded to the nearest value.
int16_t integer_sample(const uint8_t* p, int32_t bits) {
    if (bits == 8) return int16_t((int32_t(p[0]) - 128) * 256);
    int bytes = bits / 8;
    int shift = 32 - bits;
    int64_t value = int32_t(little_endian(p, bytes) << shift) >> shift;  // sign-extended
    if (bits == 16) return int16_t(value);
    int drop = bits - 16;
    return clip16((value + (int64_t(1) << (drop - 1))) >> drop);
}

int16_t float_sample(const uint8_t* p) {
    float value = std::bit_cast<float>(little_endian(p, 4));
    if (std::isnan(value)) return 0;
    double scaled = double(value) * 32768.0;
    if (scaled >= INT16_MAX) return INT16_MAX;
    if (scaled <= INT16_MIN) return INT16_MIN;
    return int16_t(std::lround(scaled));
}

void put16(uint8_t* out, int16_t sample) {
    out[0] = uint8_t(uint16_t(sample));
    out[1] = uint8_t(uint16_t(sample) >> 8);
}

}  // namespace

WavFormat parse_wav_format(const uint8_t* bytes, size_t length) {
    uint8_t padded[kWavFormatBytes] = {};
    memcpy(padded, bytes, length < sizeof padded ? length : sizeof padded);
    uint16_t tag = uint16_t(little_endian(padded, 2));
    WavFormat format;
    format.channels = int32_t(little_endian(padded + 2, 2));
    format.sample_rate = int32_t(little_endian(padded + 4, 4));
    format.bits_per_sample = int32_t(little_endian(padded + 14, 2));
    if (tag == kTagExtensible) tag = subformat_tag(bytes, length);
    format.coding = coding_of(tag, format.bits_per_sample);
    return format;
}

int32_t wav_frame_bytes(const WavFormat& format) {
    return format.channels * format.bits_per_sample / 8;
}

void convert_to_stereo16(const WavFormat& format, const uint8_t* in, int32_t frames, uint8_t* out) {
    const int32_t sample_bytes = format.bits_per_sample / 8;
    const bool mono = format.channels == 1;
    for (int32_t i = 0; i < frames; ++i) {
        for (int channel = 0; channel < 2; ++channel) {
            const uint8_t* p = in + (mono ? 0 : channel * sample_bytes);
            int16_t sample = format.coding == CODING_FLOAT
                                 ? float_sample(p)
                                 : integer_sample(p, format.bits_per_sample);
            put16(out + 2 * channel, sample);
        }
        in += (mono ? 1 : 2) * sample_bytes;
        out += 4;
    }
}
