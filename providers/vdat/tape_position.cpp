#include "tape_position.h"

#include <cstring>

namespace {

constexpr int kPacks = 7;
constexpr int kPackBytes = 8;
constexpr int kItemProgramTime = 1;
constexpr int kItemAbsoluteTime = 2;
constexpr int kFramesPerThreeSeconds = 100;

int pack_item(const uint8_t* pack) {
    return pack[0] >> 4;
}

// The 12-bit program-number value of a time pack: 0x123 for program 123.
int pack_program_value(const uint8_t* pack) {
    return (pack[0] & 0x0F) << 8 | pack[1];
}

// A pack of program value 0x0AA or 0x0BB carries no valid time.
bool pack_time_valid(const uint8_t* pack) {
    int value = pack_program_value(pack);
    return value != 0x0AA && value != 0x0BB;
}

// The last pack of the item, as the program's subcode reader takes it, or nullptr.
const uint8_t* last_pack(const uint8_t* subcode, int item) {
    const uint8_t* found = nullptr;
    for (int k = 0; k < kPacks; ++k) {
        const uint8_t* pack = subcode + k * kPackBytes;
        if (pack_item(pack) == item) found = pack;
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

bool same_time(const uint8_t shown[4], const uint8_t wanted[4]) {
    if (is_no_time(shown)) return false;
    for (int i = 0; i < 4; ++i) {
        if (bcd_value(shown[i]) != bcd_value(wanted[i])) return false;
    }
    return true;
}

bool decimal_digits(uint8_t bcd) {
    return (bcd >> 4) <= 9 && (bcd & 0x0F) <= 9;
}

int frames_in_second(uint64_t second) {
    return second % 3 == 2 ? 34 : 33;
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
    uint64_t hours = seconds / 3600;
    time[0] = to_bcd(static_cast<int>(hours % 100));
    time[1] = to_bcd(static_cast<int>(seconds / 60 % 60));
    time[2] = to_bcd(static_cast<int>(seconds % 60));
    time[3] = to_bcd(static_cast<int>(rest - 33 * second_in_group));
}

int64_t position_of_running_time(const uint8_t time[4]) {
    for (int i = 0; i < 4; ++i) {
        if (!decimal_digits(time[i])) return -1;
    }
    int hours = bcd_value(time[0]);
    int minutes = bcd_value(time[1]);
    int seconds = bcd_value(time[2]);
    int frame = bcd_value(time[3]);
    if (minutes > 59 || seconds > 59) return -1;
    uint64_t second = static_cast<uint64_t>(hours) * 3600 + minutes * 60 + seconds;
    if (frame >= frames_in_second(second)) return -1;
    return static_cast<int64_t>(second / 3 * kFramesPerThreeSeconds + second % 3 * 33 + frame);
}

bool view_shows_target(const FrameView& view, const LocateTarget& target) {
    switch (target.kind) {
        case LOCATE_PROGRAM:
            return view_program_number(view) == target.program;
        case LOCATE_ABSOLUTE_TIME:
            return same_time(view.absolute_time, target.time);
        case LOCATE_PROGRAM_TIME:
            return same_time(view.program_time, target.time);
        default:
            return false;
    }
}
