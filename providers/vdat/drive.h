#pragma once
// One emulated audio DDS drive: its bay settings, its cassette and what it remembers, and
// the execution of one SCSI command against it.

#include <cstddef>
#include <cstdint>
#include <string>

#include "bay.h"
#include "cassette.h"

constexpr size_t kSenseBytes = 18;  // fixed format, additional sense length 10

struct ScsiRequest {
    const uint8_t* cdb;
    int cdb_length;
    uint8_t* data;         // the request's data buffer; nullptr when data_length is 0
    uint32_t data_length;  // its size (SRB_BufLen)
};

struct ScsiResult {
    uint8_t target_status;  // STATUS_GOOD or STATUS_CHKCOND
    uint8_t host_status;    // HASTAT_OK, or HASTAT_DO_DU when the buffer is too small
    uint8_t sense[kSenseBytes];
};

// An audio LOCATE in progress: the tape winds from one position to another at the bay's
// speed, measured on the platform clock; the position is worked out when asked.
struct Winding {
    bool active = false;
    bool found = false;  // false: the target is not on the tape, the tape winds to the end
    uint64_t from = 0;
    uint64_t to = 0;
    uint32_t start_ms = 0;
};

struct Drive {
    DriveConfig config;
    bool has_cassette = false;
    Cassette cassette;
    DriveMemory memory;
    bool becoming_ready = false;  // within ready_delay_ms of insertion or LOAD
    uint32_t ready_since_ms = 0;
    Winding winding;
    bool locate_failed = false;  // reported once by the next TEST UNIT READY
    uint8_t buffered_mode = 1;
    bool has_mrs_page = false;  // the Python 01931 firmware keeps its MRS switch in page 0x30
    uint64_t requests = 0;      // SCSI commands received in this run, for hang_at
};

// Opens the drive's cassette; a cassette found ejected, or none remembered, is inserted.
// 0, or -1 with the reason in error.
int drive_open(const DriveConfig& config, Drive* drive, std::string* error);
// Stops a winding where the tape stands and saves the state.
void drive_close(Drive* drive);

void drive_execute(Drive* drive, const ScsiRequest& request, ScsiResult* result);

// CDB length of an opcode by its group code: 6, 10, 12 or 16 (vendor groups: 6).
int cdb_length_of(uint8_t opcode);
