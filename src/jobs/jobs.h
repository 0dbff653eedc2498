#pragma once
#include "core/job_state.h"
#include "jobs/frame_source.h"

// The transfer jobs: 0 when the job ran to its end, kJobEndedEarly when it started but
// ended on an error (what was transferred stays valid; exit code 5), any other non-zero
// value when it could not start (exit code 6).
constexpr int kJobEndedEarly = 2;

// The reading jobs take their frames from source: the input drive or an image.
int tape_to_wav(JobState* job, ParamBlock* params, FrameSource* source);
int wav_to_dat(JobState* job);
int dat_to_img(JobState* job, FrameSource* source);
int img_to_dat(JobState* job);
int dat_to_dat(JobState* job, FrameSource* source);

// Whether the output folder of the job that will run can take files: 0, or 1 after a
// line saying why. The reading jobs write files; the others need nothing.
int check_job_output(const JobState* job);
