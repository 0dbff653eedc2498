#include "jobs/seek.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/keyboard.h"
#include "scsi/aspi_transport.h"
#include "scsi/tape_commands.h"

// Seeking: one audio LOCATE with the immediate bit, then a poll of READ POSITION once a
// second until the drive shows the target, reports ready, or stops moving.
//
// The 20-byte position record the drive returns in audio mode:
//   bytes 4-6    program number
//   bytes 8-11   running time   (BCD hours, minutes, seconds, frames)
//   bytes 12-15  absolute time  (same; byte 15 is 0xAA when the drive has no valid time)
//   bytes 16-19  program time   (same)
// The other bytes are the drive's own and are not read.

namespace {

constexpr int kProgramNumberAt = 4;
constexpr int kRunningTimeAt = 8;
constexpr int kAbsoluteTimeAt = 12;
constexpr int kProgramTimeAt = 16;
constexpr int kTimeBytes = 4;
constexpr uint8_t kNoTimeMarker = 0xAA;

constexpr uint32_t kPollIntervalMs = 1000;
// A tape whose absolute time stands still this long has stopped short of the target.
constexpr uint32_t kStallSeconds = 30;
// A seek counts as done only if the tape was still moving this recently.
constexpr uint32_t kRecentMoveSeconds = 10;

enum SeekKind { SEEK_PROGNUM = 0, SEEK_ABSTIME = 1, SEEK_RUNTIME = 2, SEEK_PROGTIME = 3 };

// 0x00-0x99 give 0-99; the drive's 0xAA marker gives 110.
uint8_t bcd_to_bin(uint8_t bcd) {
    return static_cast<uint8_t>((bcd >> 4) * 10 + (bcd & 0x0F));
}

uint32_t be24(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 16) | (static_cast<uint32_t>(bytes[1]) << 8) |
           bytes[2];
}

// Four BCD bytes h, m, s, f as plain numbers packed like the command line's seek target.
uint32_t bcd_time_to_bin(const uint8_t* bytes) {
    uint32_t value = 0;
    for (int i = 0; i < kTimeBytes; ++i) value = (value << 8) | bcd_to_bin(bytes[i]);
    return value;
}

}  // namespace

void print_seek_heading(const JobState* job) {
    printf(" - seeking to tape ");
    if (job->seek_kind == SEEK_PROGNUM) {
        printf("program number %d\n", static_cast<int>(job->seek_target));
        return;
    }
    uint32_t t = job->seek_target;
    printf("time %.2d:%.2d:%.2d:%.2d\n", static_cast<int>(t >> 24),
           static_cast<int>((t >> 16) & 0xFF), static_cast<int>((t >> 8) & 0xFF),
           static_cast<int>(t & 0xFF));
}

namespace {

// What one seek call remembers between polls. Times are platform milliseconds; only
// unsigned differences of them are used, so a wrap of the clock does no harm.
struct SeekWatch {
    ScsiStatus status;  // of the last READ POSITION, 0 when it succeeded
    int reached;
    uint8_t abs_time[kTimeBytes];
    uint32_t last_change_ms;
    uint32_t last_poll_ms;
};

uint32_t seconds_since_change(const SeekWatch& watch) {
    return (watch.last_poll_ms - watch.last_change_ms) / 1000u;
}

ScsiStatus read_position(const ScsiAddress* address, uint8_t* record) {
    memset(record, 0, kPositionRecordBytes);
    return scsi_read_position(address->adapter, address->target, address->lun, record);
}

bool drive_ready(const ScsiAddress* address) {
    return scsi_wait_ready(address->adapter, address->target, address->lun, 0) == kStatusReady;
}

// Reads the position and takes it in; a record the drive did not deliver is not a
// position, so it neither counts as the target nor as movement.
void poll_position(const ScsiAddress* address, const JobState* job, SeekWatch* watch,
                   bool show_progress) {
    uint8_t record[kPositionRecordBytes];
    watch->status = read_position(address, record);
    watch->last_poll_ms = platform_now_ms();
    if (watch->status != 0) return;
    watch->reached = position_reached(job, record);
    if (show_progress) print_seek_progress(record);
    if (memcmp(watch->abs_time, record + kAbsoluteTimeAt, kTimeBytes) != 0) {
        watch->last_change_ms = watch->last_poll_ms;
        memcpy(watch->abs_time, record + kAbsoluteTimeAt, kTimeBytes);
    }
}

// Drives give the program number one decimal digit per byte (the progress line shows it
// so); a drive that gives it as one 24-bit number is matched as well.
bool program_number_shown(const uint8_t* pno, uint32_t target) {
    const bool digits = pno[0] <= 9 && pno[1] <= 9 && pno[2] <= 9;
    if (digits && static_cast<uint32_t>(pno[0] * 100 + pno[1] * 10 + pno[2]) == target) {
        return true;
    }
    return be24(pno) == target;
}

}  // namespace

int position_reached(const JobState* job, const uint8_t* record) {
    uint32_t shown;
    switch (job->seek_kind) {
        case SEEK_PROGNUM:
            return program_number_shown(record + kProgramNumberAt, job->seek_target) ? 1 : 0;
        case SEEK_ABSTIME:
            shown = bcd_time_to_bin(record + kAbsoluteTimeAt);
            break;
        case SEEK_RUNTIME:
            shown = bcd_time_to_bin(record + kRunningTimeAt);
            break;
        case SEEK_PROGTIME:
            shown = bcd_time_to_bin(record + kProgramTimeAt);
            break;
        default:
            return 0;
    }
    return shown == job->seek_target ? 1 : 0;
}

void print_seek_progress(const uint8_t* record) {
    const uint8_t* pno = record + kProgramNumberAt;
    const uint8_t* abs = record + kAbsoluteTimeAt;
    // The drive gives the program number one digit per byte.
    printf("   - Present seek position: ");
    printf("PROGNUM: %.3x, ", pno[0] * 256 + pno[1] * 16 + pno[2]);
    if (abs[3] != kNoTimeMarker) {
        printf("ABSTIME: %.2d:%.2d:%.2d:%.2d\r", bcd_to_bin(abs[0]), bcd_to_bin(abs[1]),
               bcd_to_bin(abs[2]), bcd_to_bin(abs[3]));
    } else {
        printf("ABSTIME: %.2x:%.2x:%.2x:%.2x\r", abs[0], abs[1], abs[2], abs[3]);
    }
}

int seek_tape(const ScsiAddress* address, const JobState* job) {
    print_seek_heading(job);
    int located = scsi_locate2(address->adapter, address->target, address->lun, job->seek_target,
                               job->seek_kind);
    if (located != 0) {
        printf("Seek failed %x\n", static_cast<unsigned>(located));
        return -1;
    }

    SeekWatch watch{};
    poll_position(address, job, &watch, false);
    watch.last_change_ms = watch.last_poll_ms;
    while (watch.status == 0 && !watch.reached && !drive_ready(address)) {
        // The run stops in order; the drive's own winding is not waited for.
        if (keyboard_stop_requested()) {
            printf("\n");
            return -1;
        }
        platform_sleep_ms(kPollIntervalMs);
        poll_position(address, job, &watch, true);
        if (watch.status == kStatusEndOfData) break;
        if (seconds_since_change(watch) >= kStallSeconds) break;
    }
    // The target lies beyond the recorded tape: the drive stopped at end of data.
    if (watch.status == kStatusEndOfData) {
        printf("Reached end of tape...");
        return -1;
    }
    printf("\n");
    if (seconds_since_change(watch) < kRecentMoveSeconds) return 0;
    printf("\nSeek failed %x\n", static_cast<unsigned>(watch.status));
    return -1;
}
