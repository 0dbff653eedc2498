#pragma once
// Recording one file of a cue list as one program: its subcode, the device check, the
// frames filled from the input reader and written from the shared write template, and
// the inter-track silence after it.

#include "core/job_state.h"
#include "scsi/aspi_transport.h"

// The recording settings of a cue file; all 0 / off until the cue file is read.
struct CueSettings {
    bool start_ids;          // start IDs over the first 300 frames of every program
    int scms;                // 0-3, format byte 1 bits 3-2 of every program frame
    bool long_play;          // a 32 kHz file is recorded in 12-bit long play
    bool time_date;          // every program carries a date pack: when its recording started
    int intertrack_silence;  // seconds; only values above 0 give silence
    int leadin_silence;
    int leadout_silence;
    int rate;  // 48000, 44100 or 32000 for every file; 0: each file keeps a tape rate; -1: bad
};

enum RecordOutcome {
    RECORD_DONE,            // the file (or its failed open) and its silence are handled
    RECORD_DRIVE_UNUSABLE,  // the device check failed: nothing of the file was written
    RECORD_WRITE_FAILED,    // a frame write failed: the job ends without lead-out
};

struct RecordResult {
    RecordOutcome outcome;
    int last_key;        // the last key read while recording the file, 0 when none
    bool not_opened;     // the file could not be opened: no program frame was written
    ScsiStatus failure;  // of the write that failed (RECORD_WRITE_FAILED)
};

// Records `name` as program number `number` (1-799).
RecordResult record_file(const char* name, int number, const CueSettings& settings,
                         const ScsiAddress& output);

// INQUIRY of the output drive: true for a sequential-access device. Prints the reason
// otherwise.
bool output_drive_usable(const ScsiAddress& output);
