#include "jobs/wav_header.h"

#include <cstring>

namespace {

constexpr uint32_t kFormatChunkBytes = 16;
constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kChannels = 2;
constexpr uint16_t kBytesPerPair = 4;
constexpr uint16_t kBitsPerSample = 16;
// "WAVE", the format chunk (8 + 16 bytes) and the data chunk's own 8 bytes.
constexpr uint32_t kRiffOverheadBytes = 36;

uint32_t g_data_limit = kWavMaxDataBytes;

void put_le16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void put_le32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

void put_tag(uint8_t* at, const char* tag) {
    memcpy(at, tag, strlen(tag));
}

}  // namespace

uint32_t wav_rate_hz(int rate_code) {
    switch (rate_code) {
        case 1:
            return 44100;
        case 2:
            return 32000;
        default:
            return 48000;
    }
}

void build_wav_header(uint8_t (&header)[kWavHeaderBytes], uint32_t data_length, int rate_code) {
    uint32_t rate = wav_rate_hz(rate_code);
    put_tag(&header[0], "RIFF");
    put_le32(&header[4], data_length + kRiffOverheadBytes);
    put_tag(&header[8], "WAVEfmt ");
    put_le32(&header[16], kFormatChunkBytes);
    put_le16(&header[20], kFormatPcm);
    put_le16(&header[22], kChannels);
    put_le32(&header[24], rate);
    put_le32(&header[28], rate * kBytesPerPair);
    put_le16(&header[32], kBytesPerPair);
    put_le16(&header[34], kBitsPerSample);
    put_tag(&header[36], "data");
    put_le32(&header[40], data_length);
}

int write_wav_header(FILE* file, uint32_t data_length, int rate_code) {
    uint8_t header[kWavHeaderBytes];
    build_wav_header(header, data_length, rate_code);
    return fwrite(header, sizeof header, 1, file) == 1 ? 0 : -1;
}

bool wav_file_name(char* name, size_t size, const char* base, int track_number) {
    int length = snprintf(name, size, "%s%d.wav", base, track_number);
    return length >= 0 && static_cast<size_t>(length) < size;
}

uint32_t wav_data_limit() {
    return g_data_limit;
}

void wav_set_data_limit(uint32_t bytes) {
    g_data_limit = (bytes == 0 || bytes > kWavMaxDataBytes) ? kWavMaxDataBytes : bytes;
}
