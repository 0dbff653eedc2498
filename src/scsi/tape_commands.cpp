#include "scsi/tape_commands.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/keyboard.h"

namespace {

constexpr uint32_t kShortTimeoutMs = 25000;
constexpr uint32_t kLongTimeoutMs = 60000;          // commands that move the tape
constexpr int kMaxAllocationLength = 255;           // one CDB byte
constexpr uint32_t kMaxTransferLength = 0xFFFFFFu;  // three CDB bytes
constexpr int kPositionRecordLength = 20;
constexpr int kModeDataLength = 100;
constexpr int kDensityListLength = 12;
constexpr uint32_t kReadyPollMs = 100;
constexpr int kDataIn = 0;
constexpr int kDataOut = 1;
// A request rejected before it was sent; its status byte is SS_INVALID_SRB.
constexpr ScsiStatus kStatusNotSent = 0xE0000000u;

uint8_t byte_of(uint32_t value, int shift) {
    return static_cast<uint8_t>(value >> shift);
}

void put_be24(uint8_t* field, uint32_t value) {
    field[0] = byte_of(value, 16);
    field[1] = byte_of(value, 8);
    field[2] = byte_of(value, 0);
}

void put_be32(uint8_t* field, uint32_t value) {
    field[0] = byte_of(value, 24);
    put_be24(field + 1, value);
}

// Two decimal digits in one byte. A value of 100 or more has no two-digit form and keeps
// the low 8 bits of the same arithmetic.
uint8_t to_bcd(uint32_t value) {
    return static_cast<uint8_t>((value / 10) * 16 + value % 10);
}

// A timed-out request reports status 0x00 with no sense, which would read as the 0 of
// success to callers whose result is "0 when ok, else the status".
ScsiStatus failure_status(ScsiStatus status) {
    return status != 0 ? status : kStatusNoAnswer;
}

int ok_or_minus_one(ScsiStatus status) {
    return scsi_ok(status) ? 0 : -1;
}

ScsiStatus send_without_data(int ha, int id, int lun, const uint8_t* cdb, int cdb_length,
                             uint32_t timeout_ms) {
    return ASPI_Call(ha, id, lun, cdb, cdb_length, nullptr, 0, kDataIn, timeout_ms);
}

int clamp_allocation_length(int length) {
    return length > kMaxAllocationLength ? kMaxAllocationLength : length;
}

// The time code of the audio LOCATE: BCD hours, minutes, seconds, frames.
void put_locate_time(uint8_t* field, uint32_t value) {
    field[0] = to_bcd(byte_of(value, 24));
    field[1] = to_bcd(byte_of(value, 16));
    field[2] = to_bcd(byte_of(value, 8));
    field[3] = to_bcd(byte_of(value, 0));
}

// The program number of the audio LOCATE, BCD digits over bytes 4-6 with the units in
// byte 6: below 100 byte 6 holds both digits; from 100 byte 5 takes the hundreds digit.
void put_locate_program(uint8_t* field, uint32_t program) {
    field[0] = to_bcd(program / 10000 % 100);
    field[1] = to_bcd(program / 100 % 100);
    field[2] = to_bcd(program % 100);
}

uint8_t locate_kind_code(int kind) {
    switch (kind) {
        case 1:
            return 0x20;  // absolute time
        case 2:
            return 0x40;  // running time
        case 3:
            return 0x60;  // program time
        default:
            return 0x00;
    }
}

}  // namespace

extern "C" ScsiStatus scsi_read_block(int ha, int id, int lun, uint8_t* buffer, uint32_t length) {
    if (length > kMaxTransferLength) return kStatusNotSent;
    uint8_t cdb[6];
    cdb[0] = 0x08;  // READ(6), variable length
    cdb[1] = 0x00;
    put_be24(&cdb[2], length);
    cdb[5] = 0x00;
    return ASPI_Call(ha, id, lun, cdb, sizeof cdb, buffer, length, kDataIn, kShortTimeoutMs);
}

extern "C" ScsiStatus scsi_write_block(int ha, int id, int lun, const uint8_t* buffer,
                                       uint32_t length) {
    if (length > kMaxTransferLength) return kStatusNotSent;
    uint8_t cdb[6];
    cdb[0] = 0x0A;  // WRITE(6), variable length
    cdb[1] = 0x00;
    put_be24(&cdb[2], length);
    cdb[5] = 0x00;
    // ASPI_Call only reads a data-out buffer.
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, const_cast<uint8_t*>(buffer),
                                  length, kDataOut, kShortTimeoutMs);
    return scsi_ok(status) ? 0 : failure_status(status);
}

extern "C" int scsi_seek_block(int ha, int id, int lun, uint32_t block) {
    if (block > kMaxTransferLength) return -1;  // three CDB bytes hold the block
    uint8_t cdb[6];
    cdb[0] = 0x0C;  // SEEK BLOCK
    cdb[1] = 0x00;
    put_be24(&cdb[2], block);
    cdb[5] = 0x00;
    return ok_or_minus_one(send_without_data(ha, id, lun, cdb, sizeof cdb, kShortTimeoutMs));
}

extern "C" int scsi_rewind(int ha, int id, int lun) {
    const uint8_t cdb[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};  // REWIND
    ScsiStatus status = send_without_data(ha, id, lun, cdb, sizeof cdb, kLongTimeoutMs);
    if (scsi_ok(status)) return 0;
    printf("rewind failed: %.8x\n", status);
    return -1;
}

extern "C" int do_load(int ha, int id, int lun, int load) {
    uint8_t cdb[6];
    cdb[0] = 0x1B;  // LOAD UNLOAD
    cdb[1] = 0x00;
    cdb[2] = 0x00;
    cdb[3] = 0x00;
    cdb[4] = static_cast<uint8_t>(load);  // 1 = load, 0 = unload
    cdb[5] = 0x00;
    ScsiStatus status = send_without_data(ha, id, lun, cdb, sizeof cdb, kLongTimeoutMs);
    if (scsi_ok(status)) return 0;
    printf("load failed; %.8x\n", status);
    return -1;
}

extern "C" int scsi_locate(int ha, int id, int lun, uint32_t block, int partition) {
    const uint8_t partition_byte = static_cast<uint8_t>(partition);
    uint8_t cdb[10];
    cdb[0] = 0x2B;                               // LOCATE(10)
    cdb[1] = partition_byte != 0 ? 0x02 : 0x00;  // CP: change partition
    cdb[2] = 0x00;
    put_be32(&cdb[3], block);
    cdb[7] = 0x00;
    cdb[8] = partition_byte;
    cdb[9] = 0x00;
    return ok_or_minus_one(send_without_data(ha, id, lun, cdb, sizeof cdb, kLongTimeoutMs));
}

extern "C" int scsi_locate2(int ha, int id, int lun, uint32_t value, int kind) {
    const uint8_t kind_byte = static_cast<uint8_t>(kind);
    if (kind_byte == 0 && value > kMaxProgramNumber) return -1;  // no such program number
    uint8_t cdb[10] = {};
    cdb[0] = 0x2B;  // LOCATE(10), audio form
    cdb[1] = 0x05;  // immediate: the tape winds after the command has completed
    cdb[2] = 0x00;
    if (kind_byte == 0) {
        cdb[3] = 0x00;
        put_locate_program(&cdb[4], value);
    } else {
        cdb[3] = locate_kind_code(kind_byte);
        put_locate_time(&cdb[4], value);
    }
    return ok_or_minus_one(send_without_data(ha, id, lun, cdb, sizeof cdb, kLongTimeoutMs));
}

extern "C" ScsiStatus scsi_read_position(int ha, int id, int lun, uint8_t* buffer) {
    uint8_t cdb[10];
    cdb[0] = 0x34;  // READ POSITION
    cdb[1] = 0x01;
    memset(&cdb[2], 0x00, 8);
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, buffer, kPositionRecordLength,
                                  kDataIn, kShortTimeoutMs);
    return scsi_ok(status) ? 0 : failure_status(status);
}

extern "C" ScsiStatus scsi_test_unit_ready(int ha, int id, int lun) {
    const uint8_t cdb[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};  // TEST UNIT READY
    return send_without_data(ha, id, lun, cdb, sizeof cdb, kShortTimeoutMs);
}

extern "C" int scsi_read_buffer(int ha, int id, int lun, int buffer_id, uint32_t offset,
                                uint8_t* buffer, int length) {
    if (length <= 0 || !buffer || offset > kMaxTransferLength) return -1;
    length = clamp_allocation_length(length);
    memset(buffer, 0, static_cast<size_t>(length));
    uint8_t cdb[10];
    cdb[0] = 0x3C;  // READ BUFFER
    cdb[1] = 0x01;  // mode 1: vendor specific
    cdb[2] = static_cast<uint8_t>(buffer_id);
    put_be24(&cdb[3], offset);
    cdb[6] = 0x00;
    cdb[7] = 0x00;
    cdb[8] = static_cast<uint8_t>(length);
    cdb[9] = 0x00;
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, buffer,
                                  static_cast<uint32_t>(length), kDataIn, kShortTimeoutMs);
    return ok_or_minus_one(status);
}

ScsiStatus scsi_wait_ready(int ha, int id, int lun, uint32_t timeout_ms) {
    const uint32_t start = platform_now_ms();
    ScsiStatus status = scsi_test_unit_ready(ha, id, lun);
    // Ready means success with no sense at all, not merely status 0x01. A stop signal ends
    // the wait like its timeout: the run then stops in order.
    while (status != kStatusReady) {
        platform_sleep_ms(kReadyPollMs);
        if (platform_now_ms() - start >= timeout_ms || keyboard_stop_requested()) break;
        status = scsi_test_unit_ready(ha, id, lun);
    }
    return status;
}

int scsi_inquiry(int ha, int id, int lun, uint8_t* buffer, int length) {
    if (length < 0 || (length > 0 && !buffer)) return -1;
    length = clamp_allocation_length(length);
    if (length > 0) memset(buffer, 0, static_cast<size_t>(length));
    uint8_t cdb[6];
    cdb[0] = 0x12;  // INQUIRY
    cdb[1] = 0x00;
    cdb[2] = 0x00;
    cdb[3] = 0x00;
    cdb[4] = static_cast<uint8_t>(length);
    cdb[5] = 0x00;
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, buffer,
                                  static_cast<uint32_t>(length), kDataIn, kShortTimeoutMs);
    if (scsi_ok(status)) return 0;
    if ((status >> 24) == 0x82) return kInquiryNoDevice;
    return -1;
}

int scsi_mode_sense(int ha, int id, int lun, int page, uint8_t* buffer, int length) {
    if (length <= 0 || !buffer) return -1;
    length = clamp_allocation_length(length);
    uint8_t data[kMaxAllocationLength] = {};
    uint8_t cdb[6];
    cdb[0] = 0x1A;  // MODE SENSE(6), block descriptors included
    cdb[1] = 0x00;
    cdb[2] = static_cast<uint8_t>(page);
    cdb[3] = 0x00;
    cdb[4] = static_cast<uint8_t>(length);
    cdb[5] = 0x00;
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, data, static_cast<uint32_t>(length),
                                  kDataIn, kShortTimeoutMs);
    if (!scsi_ok(status)) return -1;
    // Byte 0 is the mode data length, which does not count itself.
    int returned = data[0] + 1;
    memcpy(buffer, data, static_cast<size_t>(returned < length ? returned : length));
    return returned;
}

int scsi_mode_select_header(int ha, int id, int lun, const uint8_t* list, int length) {
    if (length <= 0 || !list) return -1;
    length = clamp_allocation_length(length);
    uint8_t cdb[6];
    cdb[0] = 0x15;  // MODE SELECT(6)
    cdb[1] = 0x00;
    cdb[2] = 0x00;
    cdb[3] = 0x00;
    cdb[4] = kDensityListLength;  // always announces the 12-byte density list
    cdb[5] = 0x00;
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, const_cast<uint8_t*>(list),
                                  static_cast<uint32_t>(length), kDataOut, kShortTimeoutMs);
    return ok_or_minus_one(status);
}

int scsi_mode_select_page(int ha, int id, int lun, const uint8_t* data, int length) {
    if (length <= 0 || !data) return -1;
    // The list length is the mode data length byte read earlier from the drive: it must
    // not reach past the caller's data.
    const uint8_t list_length = data[0];
    if (list_length > length) return -1;
    uint8_t cdb[6];
    cdb[0] = 0x15;  // MODE SELECT(6)
    cdb[1] = 0x00;
    cdb[2] = 0x00;
    cdb[3] = 0x00;
    cdb[4] = list_length;
    cdb[5] = 0x00;
    ScsiStatus status = ASPI_Call(ha, id, lun, cdb, sizeof cdb, const_cast<uint8_t*>(data),
                                  list_length, kDataOut, kShortTimeoutMs);
    return ok_or_minus_one(status);
}

int scsi_get_density(int ha, int id, int lun) {
    uint8_t data[kModeDataLength] = {};
    if (scsi_mode_sense(ha, id, lun, 0x00, data, sizeof data) < 0) {
        printf("get mode page retval %d\n", -1);
        return -1;
    }
    return data[4];  // density code of the first block descriptor
}

int scsi_set_density(int ha, int id, int lun, int code) {
    if (code < 0 || code > 0xFF) return -1;
    const uint8_t list[kDensityListLength] = {
        0x00,                        // mode data length: reserved in MODE SELECT
        0x00,                        // medium type
        0x10,                        // device-specific: buffered mode 1
        0x08,                        // block descriptor length
        static_cast<uint8_t>(code),  // density code
        0x00,
        0x00,
        0x00,  // number of blocks
        0x00,  // reserved
        0x00,
        0x00,
        0x02,  // block length
    };
    if (scsi_mode_select_header(ha, id, lun, list, sizeof list) != 0) return -1;
    uint8_t data[kModeDataLength] = {};
    if (scsi_mode_sense(ha, id, lun, 0x00, data, sizeof data) < 0) return -1;
    return data[4] == code ? 0 : -1;
}
