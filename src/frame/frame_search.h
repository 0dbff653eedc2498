#pragma once
// What a drive shows of a frame when it reports its position or searches the tape for a
// target: the program number of the frame's absolute-time pack, its absolute and program
// times, and the running time, which counts frames from the start of the tape. The same
// search finds a target in a tape image.

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
inline int bcd_number(uint8_t bcd) {
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}

// Running time of tape position n: 100 frames every three seconds (33, 33, 34).
void running_time_at(uint64_t position, uint8_t time[4]);

// The largest position whose running time still fits in two BCD hour digits.
constexpr uint64_t kMaxRunningPositions = 100ull * 3600 / 3 * 100;

// Kinds of target, numbered as the run's seek kinds are (PROGNUM, ABSTIME, RUNTIME,
// PROGTIME).
enum FrameTargetKind {
    TARGET_PROGRAM = 0,
    TARGET_ABSOLUTE_TIME = 1,
    TARGET_RUNNING_TIME = 2,
    TARGET_PROGRAM_TIME = 3,
};

struct FrameTarget {
    int kind;         // FrameTargetKind
    int program;      // TARGET_PROGRAM
    uint8_t time[4];  // the time kinds: hours, minutes, seconds, frames as plain numbers
};

// True when a frame showing this view is the target. The running time is no property of
// a frame: frame_search finds it by its position.
bool view_shows_target(const FrameView& view, const FrameTarget& target);

// Reads the subcode bytes of count frames from first into out, one after another.
typedef int (*SubcodeSource)(void* context, uint64_t first, uint64_t count, uint8_t* out);

// The first of frames positions that shows the target, or -1 when none does or the
// source fails.
int64_t frame_search(uint64_t frames, const FrameTarget& target, SubcodeSource source,
                     void* context);

// The 20-byte position record a drive gives in audio mode for the frame at position:
//   byte 0      0x80 at the beginning of the tape, else 0
//   bytes 4-6   program number of the absolute-time pack, one digit per byte (0x0A each
//               when the frame has none; lead-in shows 00 0B 0B)
//   bytes 8-11  running time, BCD h m s f
//   bytes 12-15 absolute time, BCD h m s f (AA AA AA AA: no valid time)
//   bytes 16-19 program time, likewise
// and 0 in the others.
constexpr size_t kPositionRecordBytes = 20;
void frame_position_record(const uint8_t* subcode, uint64_t position,
                           uint8_t record[kPositionRecordBytes]);
