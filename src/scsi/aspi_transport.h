#pragma once
#include <cstdint>

// ScsiStatus: SRB_Status in bits 24-31 (0x01 = success), sense byte 2 in bits 16-23,
// ASC in bits 8-15, ASCQ in bits 0-7.
typedef uint32_t ScsiStatus;

constexpr ScsiStatus kStatusReady = 0x01000000u;
constexpr ScsiStatus kStatusEndOfData = 0x04080005u;  // BLANK CHECK, 00h/05h

inline bool scsi_ok(ScsiStatus s) { return (s >> 24) == 0x01; }

extern "C" {
// Loads the ASPI provider: returns the host adapter count (1-255) or -1.
int load_ASPI();
// Releases the provider; harmless when it was never loaded.
int unload_ASPI();
// Sends one command and waits for it; returns its ScsiStatus.
ScsiStatus ASPI_Call(int adapter, int target, int lun, const uint8_t* cdb, int cdb_length,
                     uint8_t* buffer, uint32_t buffer_length, int data_out, uint32_t timeout_ms);
}
