#pragma once
#include "core/job_state.h"

enum DriveKind { DRIVE_UNKNOWN = 0, DRIVE_PYTHON = 1, DRIVE_SDT9000 = 2 };

// The family name of a kind, for traces and logs.
const char* drive_kind_name(DriveKind kind);

enum ConfigureResult {
    CONFIGURE_OK = 0,
    CONFIGURE_NO_DEVICE = 1,  // no device, or the inquiry failed
    CONFIGURE_UNKNOWN = 2,    // not a drive of the table
    CONFIGURE_NO_ANSWER = 3,  // a step's command got no answer in its time (the step says so)
    CONFIGURE_STOPPED = 4,    // a stop signal arrived
};

int configure_drives(JobState* job);  // a ConfigureResult
// Rewinds when asked; always 0. A stop signal leaves the drives not yet rewound as they are.
int rewind_drives(JobState* job);
// Releases the drives that preparation began to switch to audio mode; always 0.
int close_drives(JobState* job);
DriveKind identify_drive(const char* vendor, const char* product);
int set_audio_mode(const ScsiAddress* address);
int set_data_mode(const ScsiAddress* address);
int turn_off_mrs(const ScsiAddress* address);
