#include "input/wav_format.h"

#include <bit>
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

float integer_sample(const uint8_t* p, int32_t bits) {
    if (bits == 8) return float((int32_t(p[0]) - 128) * 256);
    int shift = 32 - bits;
    int32_t value = int32_t(little_endian(p, bits / 8) << shift) >> shift;  // sign-extended
    return float(double(value) / double(1 << (bits - 16)));
}

float float_sample(const uint8_t* p) {
    return std::bit_cast<float>(little_endian(p, 4)) * 32768.0f;
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

void wav_to_stereo_float(const WavFormat& format, const uint8_t* in, int32_t frames, float* out) {
    const int32_t sample_bytes = format.bits_per_sample / 8;
    const int32_t channels = format.channels == 1 ? 1 : 2;
    for (int32_t i = 0; i < frames; ++i) {
        for (int channel = 0; channel < 2; ++channel) {
            const uint8_t* p = in + (channels == 1 ? 0 : channel * sample_bytes);
            out[channel] = format.coding == CODING_FLOAT
                               ? float_sample(p)
                               : integer_sample(p, format.bits_per_sample);
        }
        in += channels * sample_bytes;
        out += 2;
    }
}
