#include "frame/subcode_writer.h"

#include <cstring>

AudioFrame write_template;

namespace {

constexpr uint8_t kPackCountMask = 0x0F;
constexpr uint8_t kBit3 = 0x08;
constexpr int kTimeOffset = 3;  // pack bytes 3-6 hold h, m, s, f

SubcodePack& pack(int k) {
    return write_template.packs[k - 1];
}

// Stepping AA AA AA AA would give invalid BCD (B0 B0 B1 00); "no time" stays no time.
void advance_time(SubcodePack& p) {
    uint8_t* time = p.bytes + kTimeOffset;
    static const uint8_t kNoTimeBytes[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    if (memcmp(time, kNoTimeBytes, sizeof kNoTimeBytes) == 0) return;
    bcd_time_advance(time);
}

}  // namespace

void pack_parity() {
    int count = write_template.sub_id[1] & kPackCountMask;
    if (count > kPackCount) count = kPackCount;
    for (int k = 1; k <= count; ++k) {
        uint8_t parity = 0;
        for (int i = 0; i < 7; ++i) parity ^= pack(k).bytes[i];
        pack(k).bytes[7] = parity;
    }
}

void advance_pack_times() {
    advance_time(pack(2));
    advance_time(pack(1));
}

void reset_subcode() {
    write_template.sub_id[1] = 0x02;
    SubcodePack& absolute = pack(2);
    absolute.bytes[0] = static_cast<uint8_t>(0x20 | (absolute.bytes[0] & kBit3));
    absolute.bytes[1] = 0x01;
    absolute.bytes[2] = 0x01;
    memset(absolute.bytes + kTimeOffset, 0, 4);
    SubcodePack& program = pack(1);
    memcpy(program.bytes + 1, absolute.bytes + 1, 7);
    program.bytes[0] = static_cast<uint8_t>(0x10 | (absolute.bytes[0] & kBit3));
    write_template.sub_id[2] = 0x01;
}
