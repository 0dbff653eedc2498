#pragma once
#include "core/job_state.h"

// The transfer jobs: 0 when the job ran to its end, kJobEndedEarly when it started but
// ended on an error (what was transferred stays valid; exit code 5), any other non-zero
// value when it could not start (exit code 6).
constexpr int kJobEndedEarly = 2;

int tape_to_wav(JobState* job, ParamBlock* params);
int wav_to_dat(JobState* job);
int dat_to_img(JobState* job);
int img_to_dat(JobState* job);
int dat_to_dat(JobState* job);

// Whether the output folder of the job that will run can take files: 0, or 1 after a
// line saying why. The reading jobs write files; the others need nothing.
int check_job_output(const JobState* job);
