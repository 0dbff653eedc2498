#pragma once
#include <cstdint>

#include "core/job_state.h"
#include "frame/frame_search.h"  // kPositionRecordBytes: the record READ POSITION returns

// Positions the input tape at the command line's seek target: 0 done, -1 failed.
int seek_tape(const ScsiAddress* address, const JobState* job);
// Prints " - seeking to tape " and the target.
void print_seek_heading(const JobState* job);
// 1 when the 20-byte position record shows the seek target.
int position_reached(const JobState* job, const uint8_t* record);
// Prints the progress line of one poll (program number and absolute time), ending in "\r".
void print_seek_progress(const uint8_t* record);
