#pragma once
#include "core/job_state.h"
#include "frame/audio_frame.h"

// The status line is rewritten in place for every frame and has no line end: a line
// printed after it must start on a fresh line, or it would trail the status.

// print_status_line; the console line stays open after it.
void show_status_line(const JobState* job);
// The job ended the open line itself (its own line began with "\n").
void status_line_closed();

// A job that reads faster than a terminal can show (from an image) limits the status line
// to 20 a second: the others are skipped, and the line of the last frame is shown before
// any other line (status_line_flush, print_line), so that nothing is reported against an
// older frame. Off, every frame's line is shown, as into a file or a pipe.
void status_line_limit(bool on);
void status_line_flush();
// read_subcode, whose "\r" starts a status line only while every line is shown.
void take_subcode(const AudioFrame* frame, JobState* job);
// printf on a fresh line.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
