#pragma once
#include <cstdint>

#include "driver/job_state.h"

// Positions the input tape at the command line's seek target: 0 done, -1 failed.
int seek_tape(const ScsiAddress* address, const JobState* job);
// 1 when the 20-byte position record shows the seek target.
int position_reached(const JobState* job, const uint8_t* record);
