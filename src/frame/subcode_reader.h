#pragma once
#include "core/job_state.h"
#include "frame/audio_frame.h"

// Decodes one frame's packs, sub-ID byte 0 and format bytes into the live tape status
// of JobState, and prints the "\r" that starts the status display.
void read_subcode(const AudioFrame* frame, JobState* job);
// The same without the "\r", for a console that does not show every frame's status.
void decode_subcode(const AudioFrame* frame, JobState* job);

// Prints the one-line status display of the frame last decoded, without a line end.
void print_status_line(const JobState* job);
