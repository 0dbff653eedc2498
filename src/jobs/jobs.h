#pragma once
#include "core/job_state.h"

// The transfer jobs: 0 when the job ran (also when it ended early in mid-transfer),
// non-zero when it could not start.
int tape_to_wav(JobState* job, ParamBlock* params);
int wav_to_dat(JobState* job);
int dat_to_img(JobState* job);
int img_to_dat(JobState* job);
int dat_to_dat(JobState* job);
