#pragma once
#include "core/job_state.h"

enum DriveKind { DRIVE_UNKNOWN = 0, DRIVE_PYTHON = 1, DRIVE_SDT9000 = 2 };

// The family name of a kind, for traces and logs.
const char* drive_kind_name(DriveKind kind);

int configure_drives(JobState* job);  // 0, 1 (no device / inquiry failed), 2 (unknown drive)
int rewind_drives(JobState* job);     // always 0
int close_drives(JobState* job);      // always 0
DriveKind identify_drive(const char* vendor, const char* product);
int set_audio_mode(const ScsiAddress* address);
int set_data_mode(const ScsiAddress* address);
int turn_off_mrs(const ScsiAddress* address);
