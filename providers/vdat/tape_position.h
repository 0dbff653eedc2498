#pragma once
// What the drive shows of a frame when it reports or searches a position: the program
// number of its absolute-time pack, its absolute and program times, and the running
// time, which the drive counts itself from the start of the tape.

#include <cstddef>
#include <cstdint>

constexpr size_t kSubcodeOffset = 5760;  // the seven packs, sub-ID and format bytes
constexpr size_t kSubcodeBytes = 62;
constexpr uint8_t kNoTimeByte = 0xAA;
constexpr uint8_t kNoDigit = 0x0A;  // program-number digit of a frame without one

struct FrameView {
    uint8_t program_digits[3];  // hundreds, tens, units, one digit (nibble) per byte
    uint8_t absolute_time[4];   // BCD hours, minutes, seconds, frames, or AA AA AA AA
    uint8_t program_time[4];
};

// subcode: the 62 bytes from offset 5760 of a frame.
void view_frame(const uint8_t* subcode, FrameView* view);

// The frame's program number when all three digits are decimal, else -1.
int view_program_number(const FrameView& view);

// Two BCD digits to their value, without validation: 0x59 gives 59, 0xAA gives 110.
inline int bcd_value(uint8_t bcd) {
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}
inline uint8_t to_bcd(int value) {
    return static_cast<uint8_t>((value / 10) << 4 | value % 10);
}

// Running time of tape position n: 100 frames every three seconds (33, 33, 34).
void running_time_at(uint64_t position, uint8_t time[4]);
// The position whose running time is time, or -1 when no position shows it (a frame
// number beyond its second, a minute or second above 59, a digit above 9).
int64_t position_of_running_time(const uint8_t time[4]);

// The largest position whose running time still fits in two BCD hour digits.
constexpr uint64_t kMaxRunningPositions = 100ull * 3600 / 3 * 100;

// Kinds of the audio LOCATE, from CDB byte 3.
enum LocateKind {
    LOCATE_PROGRAM = 0x00,
    LOCATE_ABSOLUTE_TIME = 0x20,
    LOCATE_RUNNING_TIME = 0x40,
    LOCATE_PROGRAM_TIME = 0x60,
};

struct LocateTarget {
    int kind;         // LocateKind
    int program;      // LOCATE_PROGRAM
    uint8_t time[4];  // the time kinds, as sent (BCD)
};

// True when a frame showing this view is the target (the running time is not a frame
// property: it is searched by position_of_running_time).
bool view_shows_target(const FrameView& view, const LocateTarget& target);
