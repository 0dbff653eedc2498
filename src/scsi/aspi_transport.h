#pragma once
#include <cstdint>

// ScsiStatus: SRB_Status in bits 24-31 (0x01 = success), sense byte 2 in bits 16-23,
// ASC in bits 8-15, ASCQ in bits 0-7.
typedef uint32_t ScsiStatus;

constexpr ScsiStatus kStatusReady = 0x01000000u;
constexpr ScsiStatus kStatusEndOfData = 0x04080005u;  // BLANK CHECK, 00h/05h

inline bool scsi_ok(ScsiStatus s) {
    return (s >> 24) == 0x01;
}

// A read that failed because the recorded data (BLANK CHECK) or the medium (VOLUME
// OVERFLOW) has ended: every further read fails alike. Any other failure, a damaged frame
// for one, may be followed by good frames.
inline bool scsi_tape_exhausted(ScsiStatus s) {
    const uint32_t sense_key = (s >> 16) & 0x0F;
    return !scsi_ok(s) && (sense_key == 0x08 || sense_key == 0x0D);
}

// A read that failed on a damaged frame (MEDIUM ERROR): the frames after it may be good.
// Not ready, no device and no answer are failures of the drive, not of the frame.
inline bool scsi_frame_damaged(ScsiStatus s) {
    return !scsi_ok(s) && ((s >> 16) & 0x0F) == 0x03;
}

extern "C" {
// Loads the ASPI provider: returns the host adapter count (1-255) or -1.
int load_ASPI();
// Releases the provider: 1 when a library was released, 0 when none was loaded
// (harmless then).
int unload_ASPI();
// Sends one command and waits for it; returns its ScsiStatus.
ScsiStatus ASPI_Call(int adapter, int target, int lun, const uint8_t* cdb, int cdb_length,
                     uint8_t* buffer, uint32_t buffer_length, int data_out, uint32_t timeout_ms);
}

// Test seam: installs two entry points as if a provider library had been loaded (both
// nullptr: none), and drops the request area kept for reuse, so that the next command
// creates its completion event anew.
void aspi_set_provider_for_test(uint32_t (*support)(), uint32_t (*send)(void* srb));
// The number of timed-out requests whose memory stays parked for their provider.
int aspi_parked_requests();

// Requests that got no answer within their timeout since the program started: the wait ran
// out, or the provider reports that the command timed out. A step that sends commands
// compares the count before and after, and says how long the drive was given.
int aspi_unanswered_requests();
uint32_t aspi_last_unanswered_timeout_ms();
