#pragma once
// The DAT audio frame as the drive exchanges it in audio mode: 5822 bytes, no header.
// The tape image file is a plain sequence of these frames.

#include <cstddef>
#include <cstdint>

constexpr int kFrameBytes = 5822;
constexpr int kAudioAreaBytes = 5760;
constexpr int kPackCount = 7;
constexpr int kLongPlayPcmBytes = 7680;  // one long-play frame expanded to 16-bit stereo

struct SubcodePack {
    uint8_t bytes[8];  // byte 0: item (bits 7-4) and item-specific bits; byte 7: parity
};

struct AudioFrame {
    uint8_t audio[kAudioAreaBytes];
    SubcodePack packs[kPackCount];  // pack k (1-7) is packs[k - 1]
    uint8_t sub_id[4];              // control bits; pno hundreds + pack count; pno; error flags
    uint8_t format[2];              // rate and channel codes; quantization and SCMS codes
};

static_assert(sizeof(SubcodePack) == 8);
static_assert(sizeof(AudioFrame) == kFrameBytes);
static_assert(offsetof(AudioFrame, packs) == 5760);
static_assert(offsetof(AudioFrame, sub_id) == 5816);
static_assert(offsetof(AudioFrame, format) == 5820);

// Sub-ID byte 0 control bits
constexpr uint8_t kControlStartId = 0x40;

// Error flags of sub-ID byte 3
constexpr uint8_t kErrorLeft = 0x40;
constexpr uint8_t kErrorRight = 0x20;

// Subcode pack items
constexpr int kItemProgramTime = 1;
constexpr int kItemAbsoluteTime = 2;
constexpr int kItemDate = 5;

// Program-number values that are not programs
constexpr int kPnoInvalid = 0x0AA;
constexpr int kPnoLeadIn = 0x0BB;
constexpr int kPnoLeadOut = 0x0EE;

constexpr uint32_t kNoTime = 0xAAAAAAAAu;

inline int pack_item(const SubcodePack& p) {
    return p.bytes[0] >> 4;
}
inline int frame_rate_code(const AudioFrame& f) {
    return (f.format[0] >> 2) & 3;
}
inline int frame_channels_code(const AudioFrame& f) {
    return f.format[0] & 3;
}
inline int frame_quantization_code(const AudioFrame& f) {
    return f.format[1] >> 6;
}
inline int frame_scms_code(const AudioFrame& f) {
    return (f.format[1] >> 2) & 3;
}
inline int frame_error_flags(const AudioFrame& f) {
    return f.sub_id[3];
}

// A frame has subcode when any of its seven packs has an item number.
inline bool frame_has_subcode(const AudioFrame& f) {
    for (const SubcodePack& pack : f.packs) {
        if (pack_item(pack) != 0) return true;
    }
    return false;
}

// 16-bit PCM bytes one frame yields (sample_bits 16 or 12).
int audio_bytes_per_frame(int rate_code, int sample_bits);

// One-frame step of a BCD time code (hours in bits 31-24 ... frames in bits 7-0),
// with 33 frames in seconds 0 and 1 (mod 3) and 34 in second 2 (mod 3).
uint32_t bcd_time_increment(uint32_t time);

// The same step in place on four bytes hours, minutes, seconds, frames.
void bcd_time_advance(uint8_t bytes[4]);

// Frames from 00:00:00:00 to a BCD time (100 frames every three seconds); -1 for the
// no-time marker or any byte that is not two decimal digits in range.
int64_t bcd_time_frames(uint32_t time);
