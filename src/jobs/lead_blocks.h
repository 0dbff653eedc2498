#pragma once
// The blocks that open and close a recording, written from the shared write template:
// lead-in (120 identical frames, program number BB), lead-in silence (program 000),
// lead-out silence (the last program's subcode running on) and lead-out (300 identical
// frames, program number EE).

#include <cstdint>

#include "scsi/aspi_transport.h"

constexpr int kLeadInFrames = 120;
constexpr int kLeadOutFrames = 300;

// Frames of a silence of `seconds` (33.3 a second, whole frames), halved when the
// template is in long play, where a frame lasts twice as long. None for 0 or less.
int64_t silence_frame_count(int seconds);

// 0 when every frame was written, else the ScsiStatus of the write that failed (the
// block ends there; the frames before it stay on the tape).
ScsiStatus write_lead_in(int ha, int id, int lun);
ScsiStatus write_lead_in_silence(int ha, int id, int lun, int seconds);
ScsiStatus write_lead_out_silence(int ha, int id, int lun, int seconds);
ScsiStatus write_lead_out(int ha, int id, int lun);

// Sends the template as one frame: 0, or the ScsiStatus of the failed write.
ScsiStatus write_template_frame(int ha, int id, int lun);
// The frames write_template_frame put on the tape since the count was last reset, and
// how long they play.
struct TapeWritten {
    uint64_t frames;
    uint64_t ms;
};
TapeWritten template_frames_written(bool reset);
// The template is at 32 kHz with 12-bit long-play quantization.
bool template_in_long_play();
