#pragma once
// A tape drive behind the transport's test seam, answering at once, plus a clock that
// moves only when the program sleeps and a keyboard without keys. READ takes from
// `frames`; READ POSITION answers
// from `positions`; WRITE stores in `written`; INQUIRY tells a sequential-access device.

#include <array>
#include <cstdint>
#include <vector>

#include "frame/audio_frame.h"
#include "jobs/seek.h"
#include "scsi/aspi_transport.h"

struct PositionAnswer {
    ScsiStatus status;  // kStatusReady for a good READ POSITION
    std::array<uint8_t, kPositionRecordBytes> record;
};

struct FakeTape {
    std::vector<AudioFrame> frames;
    size_t read_position = 0;

    bool locate_accepted = true;
    std::vector<PositionAnswer> positions;  // one per READ POSITION; the last repeats
    int positions_read = 0;
    int ready_after_positions = -1;  // TEST UNIT READY good from then on; -1: never
    int ready_tests = 0;

    std::vector<ScsiStatus> write_answers;  // one per WRITE, then good ones
    std::vector<AudioFrame> written;        // what the good WRITEs stored
    size_t writes_refused = 0;
};

// The fake clock (platform_now_ms) starts 5 s before it wraps.
void fake_tape_install(FakeTape* tape);
void fake_tape_remove();

// The position record of a drive showing program `pno` (one digit per byte) and the
// absolute time h:m:s:f (BCD bytes).
PositionAnswer position(int pno, std::array<uint8_t, 4> abs_time);
