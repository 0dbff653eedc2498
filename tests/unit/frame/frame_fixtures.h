#pragma once
// Frames for the frame-format tests: a pack builder for readable test frames, and one
// frame tail written out byte by byte as the drive delivers it.

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "frame/audio_frame.h"

namespace frame_fixtures {

// The last 62 bytes of a frame (offsets 5760-5821): program 3 at absolute time 0:12:34
// frame 05, program time 0:02:11 frame 30, dated Monday 2002-01-28 14:05:09, 48 kHz,
// 2 channels, 16 bits, SCMS 00, recorded with 3 packs.
constexpr int kSubcodeTailBytes = kFrameBytes - kAudioAreaBytes;
constexpr uint8_t kExampleSubcodeTail[kSubcodeTailBytes] = {
    // pack 1: item 1, program 0|03, index 01, program time 00:02:11:30, parity
    0x10, 0x03, 0x01, 0x00, 0x02, 0x11, 0x30, 0x31,
    // pack 2: item 2, program 0|03, index 01, absolute time 00:12:34:05, parity
    0x20, 0x03, 0x01, 0x00, 0x12, 0x34, 0x05, 0x01,
    // pack 3: item 5, weekday 2 (Monday), 02/01/28, 14:05:09, parity
    0x52, 0x02, 0x01, 0x28, 0x14, 0x05, 0x09, 0x61,
    // packs 4-7: empty slots
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
    // sub-ID: no control bits; hundreds 0 and pack count 3; program 03; no error flags
    0x00, 0x03, 0x03, 0x00,
    // format: 48 kHz, 2 channels; 16-bit linear, SCMS 00
    0x00, 0x00};

inline AudioFrame frame_from_tail(const uint8_t (&tail)[kSubcodeTailBytes]) {
    AudioFrame frame{};
    std::memcpy(reinterpret_cast<uint8_t*>(&frame) + kAudioAreaBytes, tail, sizeof tail);
    return frame;
}

inline SubcodePack with_parity(SubcodePack pack) {
    uint8_t parity = 0;
    for (int i = 0; i < 7; ++i) parity ^= pack.bytes[i];
    pack.bytes[7] = parity;
    return pack;
}

// Item 1 or 2: 12-bit program-number field (hundreds in byte 0 bits 3-0), index 01 and
// a time hh:mm:ss:ff given as one packed BCD value.
inline SubcodePack time_pack(int item, int program_field, uint32_t time) {
    SubcodePack pack{};
    pack.bytes[0] = static_cast<uint8_t>((item << 4) | ((program_field >> 8) & 0x0F));
    pack.bytes[1] = static_cast<uint8_t>(program_field & 0xFF);
    pack.bytes[2] = 0x01;
    pack.bytes[3] = static_cast<uint8_t>(time >> 24);
    pack.bytes[4] = static_cast<uint8_t>(time >> 16);
    pack.bytes[5] = static_cast<uint8_t>(time >> 8);
    pack.bytes[6] = static_cast<uint8_t>(time);
    return with_parity(pack);
}

inline SubcodePack program_time_pack(int program_field, uint32_t time) {
    return time_pack(kItemProgramTime, program_field, time);
}

inline SubcodePack absolute_time_pack(int program_field, uint32_t time) {
    return time_pack(kItemAbsoluteTime, program_field, time);
}

// Item 5: weekday (1 = Sunday), year/month/day and hour/minute/second as 0xYYMMDD and
// 0xHHMMSS in BCD.
inline SubcodePack date_pack(int weekday, uint32_t ymd, uint32_t hms) {
    SubcodePack pack{};
    pack.bytes[0] = static_cast<uint8_t>((kItemDate << 4) | (weekday & 0x0F));
    pack.bytes[1] = static_cast<uint8_t>(ymd >> 16);
    pack.bytes[2] = static_cast<uint8_t>(ymd >> 8);
    pack.bytes[3] = static_cast<uint8_t>(ymd);
    pack.bytes[4] = static_cast<uint8_t>(hms >> 16);
    pack.bytes[5] = static_cast<uint8_t>(hms >> 8);
    pack.bytes[6] = static_cast<uint8_t>(hms);
    return with_parity(pack);
}

// A pack of an item the program carries along without reading; its bytes look like a
// time pack so that a reader that ignored the item number would be caught.
inline SubcodePack foreign_pack(int item) {
    return time_pack(item, 0x099, 0x01020304);
}

inline void set_format(AudioFrame* frame, int rate_code, int channels_code, int quantization_code,
                       int scms_code) {
    frame->format[0] = static_cast<uint8_t>((rate_code << 2) | channels_code);
    frame->format[1] = static_cast<uint8_t>((quantization_code << 6) | (scms_code << 2));
}

inline void set_control_bits(AudioFrame* frame, uint8_t control_bits) {
    frame->sub_id[0] = control_bits;
}

// Packs fill the slots from pack 1 on; the other slots stay empty. 48 kHz, 2 channels,
// 16 bits, SCMS 00, no control bits, silent audio.
inline AudioFrame frame_with(std::initializer_list<SubcodePack> packs) {
    AudioFrame frame{};
    int slot = 0;
    for (const SubcodePack& pack : packs) {
        if (slot < kPackCount) frame.packs[slot++] = pack;
    }
    return frame;
}

// A frame whose packs are all empty, although its other bytes are not.
inline AudioFrame blank_frame() {
    AudioFrame frame{};
    std::memset(frame.audio, 0x5A, sizeof frame.audio);
    for (SubcodePack& pack : frame.packs) {
        pack.bytes[0] = 0x0F;  // item number 0 in bits 7-4: the rest does not count
        pack.bytes[1] = 0x07;
        pack.bytes[7] = 0x08;
    }
    return frame;
}

}  // namespace frame_fixtures
