#pragma once
#include "core/job_state.h"

// Fills the setting fields of JobState from the arguments. 0 when the command line is
// complete, 2 when a mode keyword lacks its file name (or it is too long), 1 for every
// other problem. The arguments are left as typed: keywords are matched without regard to
// case, and file names keep their case.
int parse_command_line(int argc, char** argv, JobState* job);
