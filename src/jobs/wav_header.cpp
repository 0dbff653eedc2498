#include "jobs/wav_header.h"

#include <algorithm>
#include <cstdio>
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

// Text fields are ASCII padded with NUL bytes; a longer text is cut to the field.
void put_text(uint8_t* at, size_t size, const char* text) {
    memset(at, 0, size);
    memcpy(at, text, std::min(size, strlen(text)));
}

constexpr uint32_t kBextDataBytes = kBextChunkBytes - 8;
constexpr uint16_t kBextVersion = 1;

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

void build_bext_chunk(uint8_t (&chunk)[kBextChunkBytes], int rate_code, const BextFacts& facts) {
    memset(chunk, 0, sizeof chunk);
    put_tag(&chunk[0], "bext");
    put_le32(&chunk[4], kBextDataBytes);
    uint8_t* data = &chunk[8];
    char text[96];
    if (facts.program != 0) {
        snprintf(text, sizeof text, "DAT program %x", facts.program);
    } else {
        snprintf(text, sizeof text, "DAT tape");
    }
    put_text(&data[0], 256, text);
    put_text(&data[256], 32, "TERVANO");
    put_text(&data[288], 32, facts.reference);
    const LocalTime& t = facts.origination;
    snprintf(text, sizeof text, "%04d-%02d-%02d", t.year % 10000, t.month % 100, t.day % 100);
    put_text(&data[320], 10, text);
    snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour % 100, t.minute % 100, t.second % 100);
    put_text(&data[330], 8, text);
    put_le32(&data[338], static_cast<uint32_t>(facts.time_reference));
    put_le32(&data[342], static_cast<uint32_t>(facts.time_reference >> 32));
    put_le16(&data[346], kBextVersion);
    snprintf(text, sizeof text, "A=PCM,F=%u,W=16,M=stereo,T=DAT tape%s\r\n", wav_rate_hz(rate_code),
             facts.long_play ? ", long play" : "");
    put_text(&data[602], kBextDataBytes - 602, text);
}

int wav_header_bytes(bool bwf) {
    return bwf ? kBwfHeaderBytes : kWavHeaderBytes;
}

int write_wav_header(FILE* file, uint32_t data_length, int rate_code, const BextFacts* bext) {
    uint8_t header[kWavHeaderBytes];
    build_wav_header(header, data_length, rate_code);
    if (!bext) return fwrite(header, sizeof header, 1, file) == 1 ? 0 : -1;
    put_le32(&header[4], data_length + kRiffOverheadBytes + kBextChunkBytes);
    uint8_t chunk[kBextChunkBytes];
    build_bext_chunk(chunk, rate_code, *bext);
    constexpr size_t kBeforeData = 36;
    const bool ok = fwrite(header, kBeforeData, 1, file) == 1 &&
                    fwrite(chunk, sizeof chunk, 1, file) == 1 &&
                    fwrite(header + kBeforeData, kWavHeaderBytes - kBeforeData, 1, file) == 1;
    return ok ? 0 : -1;
}

bool wav_file_name(char* name, size_t size, const char* base, int track_number) {
    int length = snprintf(name, size, "%s%d.wav", base, track_number);
    return length >= 0 && static_cast<size_t>(length) < size;
}

uint32_t wav_data_limit(bool bwf) {
    return bwf ? std::min<uint32_t>(g_data_limit, kWavMaxDataBytes - kBextChunkBytes)
               : g_data_limit;
}

void wav_set_data_limit(uint32_t bytes) {
    g_data_limit = (bytes == 0 || bytes > kWavMaxDataBytes) ? kWavMaxDataBytes : bytes;
}
