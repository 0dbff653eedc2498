#include "frame/frame_search.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/audio_frame.h"

namespace {

constexpr int kPackBytes = 8;
constexpr int kFramesPerThreeSeconds = 100;
constexpr uint64_t kChunkFrames = 256;

int item_of(const uint8_t* pack) {
    return pack[0] >> 4;
}

// The 12-bit program-number value of a time pack: 0x123 for program 123.
int program_value_of(const uint8_t* pack) {
    return (pack[0] & 0x0F) << 8 | pack[1];
}

bool pack_time_valid(const uint8_t* pack) {
    int value = program_value_of(pack);
    return value != kPnoInvalid && value != kPnoLeadIn;
}

// The last pack of the item, as the program's subcode reader takes it, or nullptr.
const uint8_t* last_pack(const uint8_t* subcode, int item) {
    const uint8_t* found = nullptr;
    for (int k = 0; k < kPackCount; ++k) {
        const uint8_t* pack = subcode + k * kPackBytes;
        if (item_of(pack) == item) found = pack;
    }
    return found;
}

void copy_time(const uint8_t* pack, uint8_t time[4]) {
    if (pack && pack_time_valid(pack)) {
        memcpy(time, pack + 3, 4);
    } else {
        memset(time, kNoTimeByte, 4);
    }
}

bool is_no_time(const uint8_t time[4]) {
    return time[0] == kNoTimeByte && time[1] == kNoTimeByte && time[2] == kNoTimeByte &&
           time[3] == kNoTimeByte;
}

bool shows_time(const uint8_t shown[4], const uint8_t wanted[4]) {
    if (is_no_time(shown)) return false;
    for (int i = 0; i < 4; ++i) {
        if (bcd_number(shown[i]) != wanted[i]) return false;
    }
    return true;
}

uint8_t bcd_of(uint64_t value) {
    return static_cast<uint8_t>((value / 10) << 4 | value % 10);
}

int frames_in_second(uint64_t second) {
    return second % 3 == 2 ? 34 : 33;
}

// The position whose running time is time, or -1 when no position shows it.
int64_t position_of_running_time(const uint8_t time[4]) {
    int hours = time[0], minutes = time[1], seconds = time[2], frame = time[3];
    if (hours > 99 || minutes > 59 || seconds > 59) return -1;
    uint64_t second = static_cast<uint64_t>(hours) * 3600 + minutes * 60 + seconds;
    if (frame >= frames_in_second(second)) return -1;
    return static_cast<int64_t>(second / 3 * kFramesPerThreeSeconds + second % 3 * 33 + frame);
}

}  // namespace

void view_frame(const uint8_t* subcode, FrameView* view) {
    const uint8_t* absolute = last_pack(subcode, kItemAbsoluteTime);
    if (absolute) {
        view->program_digits[0] = absolute[0] & 0x0F;
        view->program_digits[1] = absolute[1] >> 4;
        view->program_digits[2] = absolute[1] & 0x0F;
    } else {
        memset(view->program_digits, kNoDigit, 3);
    }
    copy_time(absolute, view->absolute_time);
    copy_time(last_pack(subcode, kItemProgramTime), view->program_time);
}

int view_program_number(const FrameView& view) {
    int number = 0;
    for (uint8_t digit : view.program_digits) {
        if (digit > 9) return -1;
        number = number * 10 + digit;
    }
    return number;
}

void running_time_at(uint64_t position, uint8_t time[4]) {
    uint64_t rest = position % kFramesPerThreeSeconds;
    uint64_t second_in_group = rest < 33 ? 0 : rest < 66 ? 1 : 2;
    uint64_t seconds = position / kFramesPerThreeSeconds * 3 + second_in_group;
    time[0] = bcd_of(seconds / 3600 % 100);
    time[1] = bcd_of(seconds / 60 % 60);
    time[2] = bcd_of(seconds % 60);
    time[3] = bcd_of(rest - 33 * second_in_group);
}

bool view_shows_target(const FrameView& view, const FrameTarget& target) {
    switch (target.kind) {
        case TARGET_PROGRAM:
            return view_program_number(view) == target.program;
        case TARGET_ABSOLUTE_TIME:
            return shows_time(view.absolute_time, target.time);
        case TARGET_PROGRAM_TIME:
            return shows_time(view.program_time, target.time);
        default:
            return false;
    }
}

int64_t frame_search(uint64_t frames, const FrameTarget& target, SubcodeSource source,
                     void* context) {
    if (target.kind == TARGET_RUNNING_TIME) {
        int64_t position = position_of_running_time(target.time);
        return position >= 0 && static_cast<uint64_t>(position) < frames ? position : -1;
    }
    std::vector<uint8_t> chunk(kChunkFrames * kSubcodeBytes);
    for (uint64_t first = 0; first < frames; first += kChunkFrames) {
        uint64_t count = std::min(kChunkFrames, frames - first);
        if (source(context, first, count, chunk.data()) != 0) return -1;
        for (uint64_t i = 0; i < count; ++i) {
            FrameView view;
            view_frame(&chunk[i * kSubcodeBytes], &view);
            if (view_shows_target(view, target)) return static_cast<int64_t>(first + i);
        }
    }
    return -1;
}

void frame_position_record(const uint8_t* subcode, uint64_t position,
                           uint8_t record[kPositionRecordBytes]) {
    FrameView view;
    view_frame(subcode, &view);
    memset(record, 0, kPositionRecordBytes);
    record[0] = position == 0 ? 0x80 : 0x00;
    memcpy(&record[4], view.program_digits, 3);
    running_time_at(position, &record[8]);
    memcpy(&record[12], view.absolute_time, 4);
    memcpy(&record[16], view.program_time, 4);
}
