#pragma once
#include <cstdint>

#include "scsi/aspi_transport.h"

// One function per SCSI command; the first three arguments address the drive.

// scsi_write_block and scsi_read_position return 0 for success and the ScsiStatus for a
// failure. A command that got no answer within its timeout has status 0x00 and no sense:
// they report it as this value (pending, sense key ABORTED COMMAND), never as 0.
constexpr ScsiStatus kStatusNoAnswer = 0x000B0000u;
// scsi_inquiry's result when no device answers at the address.
constexpr int kInquiryNoDevice = 130;
// The highest program number scsi_locate2 sends (three BCD digits).
constexpr uint32_t kMaxProgramNumber = 999;

extern "C" {
ScsiStatus scsi_read_block(int ha, int id, int lun, uint8_t* buffer, uint32_t length);
ScsiStatus scsi_write_block(int ha, int id, int lun, const uint8_t* buffer, uint32_t length);
int scsi_seek_block(int ha, int id, int lun, uint32_t block);
int scsi_rewind(int ha, int id, int lun);
int do_load(int ha, int id, int lun, int load);
int scsi_locate(int ha, int id, int lun, uint32_t block, int partition);
int scsi_locate2(int ha, int id, int lun, uint32_t value, int kind);
ScsiStatus scsi_read_position(int ha, int id, int lun, uint8_t* buffer);  // 20 bytes
ScsiStatus scsi_test_unit_ready(int ha, int id, int lun);
int scsi_read_buffer(int ha, int id, int lun, int buffer_id, uint32_t offset, uint8_t* buffer,
                     int length);
}

// TEST UNIT READY until the drive is ready, timeout_ms have passed or a stop signal has
// arrived; the last status.
ScsiStatus scsi_wait_ready(int ha, int id, int lun, uint32_t timeout_ms);
int scsi_inquiry(int ha, int id, int lun, uint8_t* buffer, int length);
int scsi_mode_sense(int ha, int id, int lun, int page, uint8_t* buffer, int length);
int scsi_mode_select_header(int ha, int id, int lun, const uint8_t* list, int length);
int scsi_mode_select_page(int ha, int id, int lun, const uint8_t* data, int length);
int scsi_get_density(int ha, int id, int lun);
int scsi_set_density(int ha, int id, int lun, int code);
