#include "frame/audio_frame.h"

namespace {

// Byte positions of a time code held as four bytes: hours first.
constexpr int kHours = 0;
constexpr int kMinutes = 1;
constexpr int kSeconds = 2;
constexpr int kFrames = 3;

// Two BCD digits read as 10 x tens + units. The digits are not validated: the no-time
// byte 0xAA reads as 110.
int bcd_decode(uint8_t byte) {
    return (byte >> 4) * 10 + (byte & 0x0F);
}

// Values from 160 on need a tens digit above 15; only the low 8 bits are kept, so a
// step never spills into the neighbouring byte of a packed time.
uint8_t bcd_encode(int value) {
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

// Frames 00-32 in a second whose number mod 3 is 0 or 1, 00-33 when it is 2:
// 100 frames every three seconds.
int last_frame_of_second(int second) {
    return second % 3 == 2 ? 33 : 32;
}

void time_to_bytes(uint32_t time, uint8_t bytes[4]) {
    bytes[kHours] = static_cast<uint8_t>(time >> 24);
    bytes[kMinutes] = static_cast<uint8_t>(time >> 16);
    bytes[kSeconds] = static_cast<uint8_t>(time >> 8);
    bytes[kFrames] = static_cast<uint8_t>(time);
}

uint32_t time_from_bytes(const uint8_t bytes[4]) {
    return (static_cast<uint32_t>(bytes[kHours]) << 24) |
           (static_cast<uint32_t>(bytes[kMinutes]) << 16) |
           (static_cast<uint32_t>(bytes[kSeconds]) << 8) | bytes[kFrames];
}

}  // namespace

int audio_bytes_per_frame(int rate_code, int sample_bits) {
    switch (rate_code) {
        case 1:
            return 5292;
        case 2:
            return sample_bits == 12 ? kLongPlayPcmBytes : 3840;
        default:
            // Rate code 3 (and anything a caller could pass beyond the 2-bit field) is
            // taken as 48 kHz, the rate the WAV header writes for it.
            return kAudioAreaBytes;
    }
}

void bcd_time_advance(uint8_t bytes[4]) {
    int hours = bcd_decode(bytes[kHours]);
    int minutes = bcd_decode(bytes[kMinutes]);
    int seconds = bcd_decode(bytes[kSeconds]);
    int frames = bcd_decode(bytes[kFrames]) + 1;

    if (frames > last_frame_of_second(seconds)) {
        frames = 0;
        seconds += 1;
    }
    if (seconds == 60) {
        seconds = 0;
        minutes += 1;
    }
    if (minutes == 60) {
        minutes = 0;
        hours += 1;  // hours do not wrap: 99 steps to 100, written 0xA0
    }

    bytes[kHours] = bcd_encode(hours);
    bytes[kMinutes] = bcd_encode(minutes);
    bytes[kSeconds] = bcd_encode(seconds);
    bytes[kFrames] = bcd_encode(frames);
}

uint32_t bcd_time_increment(uint32_t time) {
    uint8_t bytes[4];
    time_to_bytes(time, bytes);
    bcd_time_advance(bytes);
    return time_from_bytes(bytes);
}

namespace {

bool is_bcd(uint8_t byte) {
    return (byte >> 4) <= 9 && (byte & 0x0F) <= 9;
}

// Frames before second s of a minute: 100 for every three seconds, then 33 per second.
int64_t frames_before_second(int second) {
    return second / 3 * 100 + second % 3 * 33;
}

}  // namespace

int64_t bcd_time_frames(uint32_t time) {
    uint8_t bytes[4];
    time_to_bytes(time, bytes);
    for (uint8_t byte : bytes) {
        if (!is_bcd(byte)) return -1;
    }
    const int hours = bcd_decode(bytes[kHours]);
    const int minutes = bcd_decode(bytes[kMinutes]);
    const int seconds = bcd_decode(bytes[kSeconds]);
    const int frames = bcd_decode(bytes[kFrames]);
    if (minutes > 59 || seconds > 59 || frames > last_frame_of_second(seconds)) return -1;
    constexpr int64_t kFramesPerMinute = 2000;
    return (static_cast<int64_t>(hours) * 60 + minutes) * kFramesPerMinute +
           frames_before_second(seconds) + frames;
}
