#include "drive.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "frame/audio_frame.h"
#include "frame/frame_file.h"
#include "frame/frame_search.h"
#include "platform/aspi_srb.h"
#include "platform/clock.h"

// One handler per opcode. A handler returns the SCSI status byte and, for CHECK
// CONDITION, fills the sense data through the named helpers below. Every slot of the
// dispatch table that no handler claims answers ILLEGAL REQUEST, invalid opcode.

namespace {

// sense keys and flags of sense byte 2
constexpr uint8_t kNoSense = 0x00;
constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kMediumError = 0x03;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kDataProtect = 0x07;
constexpr uint8_t kBlankCheck = 0x08;
constexpr uint8_t kVolumeOverflow = 0x0D;
constexpr uint8_t kEndOfMedium = 0x40;
constexpr uint8_t kIncorrectLength = 0x20;

constexpr uint32_t kFrame = static_cast<uint32_t>(kFrameBytes);
constexpr size_t kInquiryBytes = 36;
constexpr uint8_t kMrsOff = 0x08;  // page 0x30 byte 3
constexpr uint8_t kMrsPage = 0x30;
constexpr uint8_t kAllPages = 0x3F;
constexpr uint8_t kMrsPageLength = 14;

struct Command {
    const ScsiRequest* request;
    ScsiResult* result;
    const uint8_t* cdb;
};

typedef uint8_t (*OpcodeHandler)(Drive* drive, Command* command);

// ---- big-endian fields

uint32_t be24(const uint8_t* bytes) {
    return bytes[0] << 16 | bytes[1] << 8 | bytes[2];
}
uint32_t be32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | be24(bytes + 1);
}
void put_be32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

// ---- sense

uint8_t check_condition(Command* command, uint8_t key, uint8_t asc, uint8_t ascq) {
    uint8_t* sense = command->result->sense;
    memset(sense, 0, kSenseBytes);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = kSenseBytes - 8;
    sense[12] = asc;
    sense[13] = ascq;
    return STATUS_CHKCOND;
}

// The information field: the residue of a READ or WRITE.
uint8_t with_information(Command* command, uint32_t information) {
    command->result->sense[0] |= 0x80;
    put_be32(&command->result->sense[3], information);
    return STATUS_CHKCOND;
}

uint8_t not_ready(Command* c, uint8_t asc, uint8_t ascq) {
    return check_condition(c, kNotReady, asc, ascq);
}
uint8_t medium_not_present(Command* c) {
    return not_ready(c, 0x3A, 0x00);
}
uint8_t becoming_ready(Command* c) {
    return not_ready(c, 0x04, 0x01);
}
uint8_t operation_in_progress(Command* c) {
    return not_ready(c, 0x04, 0x07);
}
uint8_t invalid_opcode(Command* c) {
    return check_condition(c, kIllegalRequest, 0x20, 0x00);
}
uint8_t invalid_field_in_cdb(Command* c) {
    return check_condition(c, kIllegalRequest, 0x24, 0x00);
}
uint8_t invalid_field_in_list(Command* c) {
    return check_condition(c, kIllegalRequest, 0x26, 0x00);
}
uint8_t list_length_error(Command* c) {
    return check_condition(c, kIllegalRequest, 0x1A, 0x00);
}
uint8_t saving_not_supported(Command* c) {
    return check_condition(c, kIllegalRequest, 0x39, 0x00);
}
uint8_t end_of_data(Command* c, uint32_t residue) {
    check_condition(c, kBlankCheck, 0x00, 0x05);
    return with_information(c, residue);
}
uint8_t unrecovered_read_error(Command* c) {
    return check_condition(c, kMediumError, 0x11, 0x00);
}
uint8_t write_error(Command* c) {
    return check_condition(c, kMediumError, 0x0C, 0x00);
}
uint8_t incompatible_format(Command* c, uint8_t ascq) {
    return check_condition(c, kMediumError, 0x30, ascq);
}
uint8_t write_protected(Command* c) {
    return check_condition(c, kDataProtect, 0x27, 0x00);
}
uint8_t end_of_medium(Command* c, uint32_t residue) {
    check_condition(c, kVolumeOverflow | kEndOfMedium, 0x00, 0x02);
    return with_information(c, residue);
}
uint8_t incorrect_length(Command* c, int64_t residue) {
    check_condition(c, kNoSense | kIncorrectLength, 0x00, 0x00);
    return with_information(c, static_cast<uint32_t>(residue));
}

// The data phase would not fit the request's buffer: the host adapter stops it.
uint8_t data_overrun(Command* c) {
    c->result->host_status = HASTAT_DO_DU;
    return STATUS_GOOD;
}
bool buffer_holds(const Command* c, size_t bytes) {
    return bytes == 0 || (c->request->data && bytes <= c->request->data_length);
}

// ---- tape motion

void save_state(Drive* drive) {
    if (drive->has_cassette) cassette_save_state(&drive->cassette, drive->memory);
}

void move_to(Drive* drive, uint64_t position) {
    drive->memory.position = position;
    save_state(drive);
}

void end_winding(Drive* drive, uint64_t position) {
    drive->winding.active = false;
    if (!drive->winding.found) drive->locate_failed = true;
    move_to(drive, position);
}

// Where the winding has got to by now.
void settle_winding(Drive* drive) {
    Winding& w = drive->winding;
    if (!w.active) return;
    uint64_t distance = w.to > w.from ? w.to - w.from : w.from - w.to;
    uint64_t elapsed = static_cast<uint32_t>(platform_now_ms() - w.start_ms);
    uint64_t moved = elapsed * drive->config.locate_fps / 1000;
    if (moved >= distance) {
        end_winding(drive, w.to);
    } else {
        move_to(drive, w.to > w.from ? w.from + moved : w.from - moved);
    }
}

// A command that moves the tape stops a winding where the tape stands.
void stop_winding(Drive* drive) {
    settle_winding(drive);
    drive->winding.active = false;
    drive->locate_failed = false;
}

// READ and WRITE are held until a winding has arrived; the caller does not wait for it.
void complete_winding(Drive* drive) {
    if (drive->winding.active) end_winding(drive, drive->winding.to);
    drive->locate_failed = false;
}

void start_ready_delay(Drive* drive) {
    drive->becoming_ready = drive->config.ready_delay_ms > 0;
    drive->ready_since_ms = platform_now_ms();
}

// A cassette file removed, replaced or cut short under the drive is a cassette pulled out
// of it: from then on the drive has none, as a real drive whose cassette was taken out.
bool cassette_in_drive(Drive* drive) {
    if (!drive->has_cassette) return false;
    const char* what = cassette_vanished(&drive->cassette);
    if (!what) return true;
    fprintf(stderr, "vdat: [%d:%d] cassette %s %s while in the drive; the drive has none now\n",
            drive->config.adapter, drive->config.target, drive->cassette.path.c_str(), what);
    cassette_pull_out(&drive->cassette);
    drive->has_cassette = false;
    drive->winding.active = false;
    return false;
}

// False, with NOT READY sense, when no cassette is loaded or it is still coming ready.
bool ready_for_media(Drive* drive, Command* c) {
    if (!cassette_in_drive(drive) || !drive->memory.loaded) {
        medium_not_present(c);
        return false;
    }
    if (drive->becoming_ready) {
        uint32_t elapsed = platform_now_ms() - drive->ready_since_ms;
        if (elapsed < drive->config.ready_delay_ms) {
            becoming_ready(c);
            return false;
        }
        drive->becoming_ready = false;
    }
    return true;
}

bool write_protect_tab(const Drive* drive) {
    return drive->config.write_protect || (drive->has_cassette && drive->cassette.read_only);
}

// ---- positioning

uint8_t locate_block(Drive* drive, Command* c, uint64_t block) {
    if (block > drive->cassette.tape.frames) {
        move_to(drive, drive->cassette.tape.frames);
        return end_of_data(c, 0);
    }
    move_to(drive, block);
    return STATUS_GOOD;
}

// Decodes the audio LOCATE target; false for a kind the drive does not know. Each byte is
// two decimal digits; a digit above 9 still counts its value, so 0xC3 in the last byte of
// a program number reads as 123 just as 0x01 0x23 does.
bool parse_locate_target(const uint8_t* cdb, FrameTarget* target) {
    if ((cdb[3] & 0x1F) != 0 || cdb[3] > 0x60) return false;
    target->kind = cdb[3] >> 5;  // 0x00 program, 0x20 absolute, 0x40 running, 0x60 program time
    target->program = bcd_number(cdb[4]) * 10000 + bcd_number(cdb[5]) * 100 + bcd_number(cdb[6]);
    for (int i = 0; i < 4; ++i) target->time[i] = static_cast<uint8_t>(bcd_number(cdb[4 + i]));
    return true;
}

uint8_t audio_locate(Drive* drive, Command* c, bool immediate) {
    FrameTarget target{};
    if (drive->memory.density != kDensityAudio || !parse_locate_target(c->cdb, &target)) {
        return invalid_field_in_cdb(c);
    }
    int64_t found = frame_file_find(drive->cassette.tape, target);
    uint64_t destination = found >= 0 ? static_cast<uint64_t>(found) : drive->cassette.tape.frames;
    if (!immediate) {
        move_to(drive, destination);
        return found >= 0 ? STATUS_GOOD : end_of_data(c, 0);
    }
    drive->winding =
        Winding{true, found >= 0, drive->memory.position, destination, platform_now_ms()};
    return STATUS_GOOD;
}

// ---- handlers

uint8_t op_invalid(Drive*, Command* c) {
    return invalid_opcode(c);
}

uint8_t op_test_unit_ready(Drive* drive, Command* c) {
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    settle_winding(drive);
    if (drive->winding.active) return operation_in_progress(c);
    if (drive->locate_failed) {
        // The immediate LOCATE that found nothing reports its failure once.
        drive->locate_failed = false;
        return end_of_data(c, 0);
    }
    return STATUS_GOOD;
}

uint8_t op_rewind(Drive* drive, Command* c) {
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    stop_winding(drive);
    move_to(drive, 0);
    return STATUS_GOOD;
}

uint8_t op_request_sense(Drive* drive, Command* c) {
    size_t sent = std::min<size_t>(c->cdb[4], kSenseBytes);
    if (!buffer_holds(c, sent)) return data_overrun(c);
    ScsiResult probe{};
    Command probing{c->request, &probe, c->cdb};
    if (ready_for_media(drive, &probing)) check_condition(&probing, kNoSense, 0x00, 0x00);
    if (sent > 0) memcpy(c->request->data, probe.sense, sent);
    return STATUS_GOOD;
}

uint8_t op_read(Drive* drive, Command* c) {
    if (c->cdb[1] & 0x01) return invalid_field_in_cdb(c);  // fixed-block mode is not offered
    bool suppress_ili = c->cdb[1] & 0x02;
    uint32_t wanted = be24(&c->cdb[2]);
    uint32_t moved = std::min(wanted, kFrame);
    if (!buffer_holds(c, moved)) return data_overrun(c);
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    complete_winding(drive);
    if (wanted == 0) return STATUS_GOOD;
    if (drive->memory.density != kDensityAudio) return incompatible_format(c, 0x02);
    uint64_t position = drive->memory.position;
    // The physical end of the tape comes before the end of data on a full cassette.
    if (position >= drive->config.capacity) return end_of_medium(c, wanted);
    if (position >= drive->cassette.tape.frames) return end_of_data(c, wanted);
    if (in_ranges(drive->config.read_errors, position)) {
        move_to(drive, position + 1);
        return unrecovered_read_error(c);
    }
    if (frame_file_read(drive->cassette.tape, position, c->request->data, moved) != 0) {
        return unrecovered_read_error(c);
    }
    move_to(drive, position + 1);
    if (wanted == kFrame || (wanted > kFrame && suppress_ili)) return STATUS_GOOD;
    return incorrect_length(c, static_cast<int64_t>(wanted) - kFrame);
}

uint8_t op_write(Drive* drive, Command* c) {
    if (c->cdb[1] & 0x01) return invalid_field_in_cdb(c);
    uint32_t length = be24(&c->cdb[2]);
    if (!buffer_holds(c, length)) return data_overrun(c);
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    complete_winding(drive);
    if (length == 0) return STATUS_GOOD;
    if (write_protect_tab(drive)) return write_protected(c);
    if (drive->memory.density != kDensityAudio) return incompatible_format(c, 0x05);
    if (length != kFrame) return invalid_field_in_cdb(c);
    uint64_t position = drive->memory.position;
    if (position >= drive->config.capacity) return end_of_medium(c, length);
    if (in_ranges(drive->config.write_errors, position)) return write_error(c);
    if (cassette_write_frame(&drive->cassette, position, c->request->data) != 0) {
        return write_error(c);
    }
    move_to(drive, position + 1);
    return STATUS_GOOD;
}

uint8_t op_seek_block(Drive* drive, Command* c) {
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    stop_winding(drive);
    return locate_block(drive, c, be24(&c->cdb[2]));
}

uint8_t op_inquiry(Drive* drive, Command* c) {
    if ((c->cdb[1] & 0x01) || c->cdb[2] != 0) return invalid_field_in_cdb(c);  // no VPD pages
    uint8_t data[kInquiryBytes];
    memset(data, ' ', sizeof data);
    data[0] = drive->config.device_type;
    data[1] = 0x80;  // removable medium
    data[2] = 0x02;  // SCSI-2
    data[3] = 0x02;  // response data format
    data[4] = kInquiryBytes - 5;
    data[5] = data[6] = data[7] = 0x00;
    memcpy(&data[8], drive->config.vendor, strlen(drive->config.vendor));
    memcpy(&data[16], drive->config.product, strlen(drive->config.product));
    memcpy(&data[32], drive->config.revision, strlen(drive->config.revision));
    size_t sent = std::min<size_t>(c->cdb[4], sizeof data);
    if (!buffer_holds(c, sent)) return data_overrun(c);
    if (sent > 0) memcpy(c->request->data, data, sent);
    return STATUS_GOOD;
}

enum PageControl { PC_CURRENT = 0, PC_CHANGEABLE = 1, PC_DEFAULT = 2, PC_SAVED = 3 };

// Header, block descriptor (unless disabled) and the MRS page when asked. The mode data
// length in byte 0 is one less than the bytes built.
size_t build_mode_data(const Drive* drive, int control, bool with_mrs_page, bool descriptor,
                       uint8_t* data) {
    bool changeable = control == PC_CHANGEABLE;
    bool defaults = control == PC_DEFAULT;
    size_t length = 4;
    data[1] = 0x00;  // medium type
    data[2] = changeable ? 0x70 : (defaults ? 0x10 : drive->buffered_mode << 4);
    if (!changeable && write_protect_tab(drive)) data[2] |= 0x80;
    data[3] = descriptor ? 8 : 0;
    if (descriptor) {
        uint8_t* block = data + length;
        memset(block, 0, 8);  // no block count; block length 0: variable
        block[0] = changeable ? 0xFF : (defaults ? kDensityData : drive->memory.density);
        length += 8;
    }
    if (with_mrs_page) {
        uint8_t* page = data + length;
        memset(page, 0, 2 + kMrsPageLength);
        page[0] = kMrsPage;
        page[1] = kMrsPageLength;
        if (changeable || (control == PC_CURRENT && drive->memory.mrs_off)) page[3] = kMrsOff;
        length += 2 + kMrsPageLength;
    }
    data[0] = static_cast<uint8_t>(length - 1);
    return length;
}

uint8_t op_mode_sense(Drive* drive, Command* c) {
    bool descriptor = !(c->cdb[1] & 0x08);
    int control = c->cdb[2] >> 6;
    int page = c->cdb[2] & 0x3F;
    if (control == PC_SAVED) return saving_not_supported(c);
    bool mrs_page = drive->has_mrs_page && (page == kMrsPage || page == kAllPages);
    if (page != 0 && page != kAllPages && !mrs_page) return invalid_field_in_cdb(c);
    uint8_t data[64];
    size_t length = build_mode_data(drive, control, mrs_page, descriptor, data);
    size_t sent = std::min<size_t>(length, c->cdb[4]);
    if (!buffer_holds(c, sent)) return data_overrun(c);
    if (sent > 0) memcpy(c->request->data, data, sent);
    return STATUS_GOOD;
}

// The program sends page 0x30 back with the length MODE SENSE reported, one byte short
// of the page: a page is taken as far as it goes, as long as it holds the MRS byte.
uint8_t op_mode_select(Drive* drive, Command* c) {
    uint32_t length = c->cdb[4];
    if (!buffer_holds(c, length)) return data_overrun(c);
    if (length == 0) return STATUS_GOOD;
    const uint8_t* list = c->request->data;
    if (length < 4) return list_length_error(c);
    uint8_t descriptor_length = list[3];
    if (descriptor_length != 0 && descriptor_length != 8) return invalid_field_in_list(c);
    if (4u + descriptor_length > length) return list_length_error(c);
    DriveMemory wanted = drive->memory;
    if (descriptor_length == 8 && list[4] != 0) {  // density 0: keep the current one
        if (list[4] != kDensityAudio && list[4] != kDensityData) return invalid_field_in_list(c);
        wanted.density = list[4];
    }
    for (uint32_t at = 4u + descriptor_length; at + 2 <= length; at += 2u + list[at + 1]) {
        if ((list[at] & 0x3F) != kMrsPage || !drive->has_mrs_page) return invalid_field_in_list(c);
        if (at + 3 >= length) return list_length_error(c);
        wanted.mrs_off = (list[at + 3] & kMrsOff) && !drive->config.mrs_stuck;
    }
    drive->buffered_mode = (list[2] >> 4) & 0x07;
    drive->memory = wanted;
    save_state(drive);
    return STATUS_GOOD;
}

uint8_t op_load_unload(Drive* drive, Command* c) {
    if (!cassette_in_drive(drive)) return medium_not_present(c);
    bool load = c->cdb[4] & 0x01;
    if (!load && !drive->memory.loaded) return medium_not_present(c);
    stop_winding(drive);
    if (load) {
        // An ejected cassette goes in at the start; a loaded one stays where it is.
        if (!drive->memory.loaded) drive->memory.position = 0;
        drive->memory.loaded = true;
        start_ready_delay(drive);
    } else {
        drive->memory.position = 0;
        drive->memory.loaded = false;
        drive->becoming_ready = false;
    }
    save_state(drive);
    return STATUS_GOOD;
}

uint8_t op_locate(Drive* drive, Command* c) {
    bool immediate = c->cdb[1] & 0x01;
    bool change_partition = c->cdb[1] & 0x02;
    bool audio_form = c->cdb[1] & 0x04;
    if (change_partition && c->cdb[8] != 0) return invalid_field_in_cdb(c);  // one partition
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    stop_winding(drive);
    if (audio_form) return audio_locate(drive, c, immediate);
    return locate_block(drive, c, be32(&c->cdb[3]));
}

// Audio record (CDB byte 1 bit 0 set, audio mode): the frame at the position, as
// frame_position_record lays it out. Otherwise the block form: byte 0 0x80 at the
// beginning of the tape, bytes 4-7 and 8-11 the position.
uint8_t op_read_position(Drive* drive, Command* c) {
    if (!buffer_holds(c, kPositionRecordBytes)) return data_overrun(c);
    if (!ready_for_media(drive, c)) return STATUS_CHKCOND;
    settle_winding(drive);
    uint64_t position = drive->memory.position;
    uint8_t* record = c->request->data;
    memset(record, 0, kPositionRecordBytes);
    if (!(c->cdb[1] & 0x01) || drive->memory.density != kDensityAudio) {
        record[0] = position == 0 ? 0x80 : 0x00;
        put_be32(&record[4], static_cast<uint32_t>(position));
        put_be32(&record[8], static_cast<uint32_t>(position));
        return STATUS_GOOD;
    }
    if (position >= drive->cassette.tape.frames) {
        drive->locate_failed = false;  // reported here
        return end_of_data(c, 0);
    }
    uint8_t subcode[kSubcodeBytes];
    if (frame_file_read_subcodes(drive->cassette.tape, position, 1, subcode) != 0) {
        return unrecovered_read_error(c);
    }
    frame_position_record(subcode, position, record);
    return STATUS_GOOD;
}

std::array<OpcodeHandler, 256> make_dispatch_table() {
    std::array<OpcodeHandler, 256> table;
    table.fill(op_invalid);
    table[0x00] = op_test_unit_ready;
    table[0x01] = op_rewind;
    table[0x03] = op_request_sense;
    table[0x08] = op_read;
    table[0x0A] = op_write;
    table[0x0C] = op_seek_block;
    table[0x12] = op_inquiry;
    table[0x15] = op_mode_select;
    table[0x1A] = op_mode_sense;
    table[0x1B] = op_load_unload;
    table[0x2B] = op_locate;
    table[0x34] = op_read_position;
    return table;
}

const std::array<OpcodeHandler, 256> kDispatch = make_dispatch_table();

}  // namespace

int cdb_length_of(uint8_t opcode) {
    switch (opcode >> 5) {
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 6;
    }
}

int drive_open(const DriveConfig& config, Drive* drive, std::string* error) {
    drive->config = config;
    drive->has_mrs_page = strncasecmp(config.product, "Python 01931", 12) == 0;
    drive->memory = DriveMemory{};
    if (config.cassette.empty()) return 0;
    bool remembered = false;
    if (cassette_open(config.cassette.c_str(), config.write_protect, &drive->cassette,
                      &drive->memory, &remembered, error) != 0) {
        return -1;
    }
    drive->has_cassette = true;
    if (!remembered || !drive->memory.loaded) {
        // Put in (again) by the user: loaded, at the start, the density kept.
        drive->memory.loaded = true;
        drive->memory.position = 0;
        start_ready_delay(drive);
    }
    // A cassette cut short since the last run: the tape stands at its end.
    drive->memory.position = std::min(drive->memory.position, drive->cassette.tape.frames);
    save_state(drive);
    return 0;
}

void drive_close(Drive* drive) {
    settle_winding(drive);
    drive->winding.active = false;
    save_state(drive);
}

void drive_execute(Drive* drive, const ScsiRequest& request, ScsiResult* result) {
    *result = ScsiResult{};
    Command command{&request, result, request.cdb};
    bool refused = in_ranges(drive->config.refuse, request.cdb[0]);
    result->target_status =
        refused ? invalid_opcode(&command) : kDispatch[request.cdb[0]](drive, &command);
}
