#pragma once
// A tape drive behind the transport's test seam, answering at once, plus a clock that
// moves only when the program sleeps and a keyboard that delivers ESC on a chosen poll.
// One drive serves every address: READ takes from `frames`, WRITE appends to `written`;
// an audio LOCATE is recorded and READ POSITION answers from `positions`.

#include <array>
#include <cstdint>
#include <vector>

#include "frame/audio_frame.h"
#include "jobs/seek.h"
#include "scsi/aspi_transport.h"

struct PositionAnswer {
    ScsiStatus status;  // 0x01000000 for a good READ POSITION
    std::array<uint8_t, kPositionRecordBytes> record;
};

struct FakeTape {
    std::vector<AudioFrame> frames;
    size_t read_position = 0;
    long medium_error_at = -1;  // the READ of this position fails with MEDIUM ERROR
    std::vector<AudioFrame> written;
    bool write_protected = false;

    bool locate_accepted = true;
    std::vector<uint8_t> locate_cdb;
    std::vector<PositionAnswer> positions;  // one per READ POSITION; the last repeats
    int positions_read = 0;
    int ready_after_positions = -1;  // TEST UNIT READY good from then on; -1: never
    int ready_tests = 0;
};

void fake_tape_install(FakeTape* tape);  // also installs a fake clock at a high start
void fake_tape_remove();
uint32_t fake_now_ms();

// ESC becomes readable at key poll number `poll` (1-based); 0: never.
void fake_keys_install(int esc_at_poll);
void fake_keys_remove();

// A frame whose absolute-time pack carries `n`, so that frames can be told apart.
AudioFrame numbered_frame(int n);
AudioFrame blank_frame();

// The position record of a drive showing program `pno` (one digit per byte) and the
// absolute time h:m:s:f (BCD bytes).
PositionAnswer position(int pno, std::array<uint8_t, 4> abs_time);
PositionAnswer position_failure(ScsiStatus status);
