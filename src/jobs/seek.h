#pragma once
#include <cstdint>

#include "core/job_state.h"

// Bytes of the position record READ POSITION returns in audio mode.
constexpr int kPositionRecordBytes = 20;

// Positions the input tape at the command line's seek target: 0 done, -1 failed.
int seek_tape(const ScsiAddress* address, const JobState* job);
// 1 when the 20-byte position record shows the seek target.
int position_reached(const JobState* job, const uint8_t* record);
// Prints the progress line of one poll (program number and absolute time), ending in "\r".
void print_seek_progress(const uint8_t* record);
