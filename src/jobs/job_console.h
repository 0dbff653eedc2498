#pragma once
#include "core/job_state.h"

// The status line is rewritten in place for every frame and has no line end: a line
// printed after it must start on a fresh line, or it would trail the status.

// print_status_line; the console line stays open after it.
void show_status_line(const JobState* job);
// The job ended the open line itself (its own line began with "\n").
void status_line_closed();
// printf on a fresh line.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
