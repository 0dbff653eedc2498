#include "jobs/record_file.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "frame/long_play.h"
#include "frame/subcode_writer.h"
#include "input/input_reader.h"
#include "jobs/lead_blocks.h"
#include "platform/clock.h"
#include "platform/keyboard.h"
#include "scsi/tape_commands.h"

namespace {

constexpr int kStartIdWindowFrames = 300;
// At most 7680 bytes are asked for, but a compressed read may run up to 10000 bytes
// past the count asked.
constexpr int kReadBufferBytes = 20000;
constexpr int kInquiryBytes = 255;
constexpr int kSequentialAccessDevice = 1;
constexpr uint8_t kControlStartIdWindow = 0xC0;  // bits 7 and 6
constexpr uint8_t kNoTimeByte = 0xAA;
constexpr int kPackCountAll = 7;

// PCM bytes one 16-bit frame takes from the file, by rate code. Code 3 names no rate;
// the reader refuses such files at open, so its entry is only a safe size.
constexpr int kFramePcmBytes[4] = {5760, 5292, 3840, 5760};

struct Recording {
    const CueSettings* settings;
    int number;
    ScsiAddress output;
    bool long_play;
    int frame_bytes;  // asked from the reader per frame: 7680 in long play
    int last_key;
    uint8_t buffer[kReadBufferBytes];
};

uint8_t bcd(int value) {
    return static_cast<uint8_t>((value / 10) << 4 | value % 10);
}

SubcodePack& pack(int k) {
    return write_template.packs[k - 1];
}

// Byte 0 (item, hundreds digit in bits 2-0, bit 3 kept), byte 1 (tens and units) and the
// index number 01 of a time pack.
void set_time_pack_program(int k, int number) {
    uint8_t* bytes = pack(k).bytes;
    bytes[0] = static_cast<uint8_t>(k << 4 | (bytes[0] & 0x08) | (number / 100 & 0x07));
    bytes[1] = bcd(number % 100);
    bytes[2] = 0x01;
}

void set_date_pack() {
    LocalTime now{};
    platform_local_time(&now);
    uint8_t* bytes = pack(5).bytes;
    bytes[0] = static_cast<uint8_t>(kItemDate << 4 | (now.weekday + 1));
    bytes[1] = bcd(now.year % 100);
    bytes[2] = bcd(now.month);
    bytes[3] = bcd(now.day);
    bytes[4] = bcd(now.hour);
    bytes[5] = bcd(now.minute);
    bytes[6] = bcd(now.second);
    write_template.sub_id[1] = static_cast<uint8_t>(write_template.sub_id[1] + 1);
}

// The subcode and format that hold for the whole program. Both time packs name the
// program from its start, so that no frame of it, the inter-track silence after a file
// that failed to open included, carries two different program numbers.
void start_program(Recording* r) {
    const int rate = frame_rate_code(write_template);
    r->long_play = r->settings->long_play && rate == 2;
    r->frame_bytes = r->long_play ? kLongPlayPcmBytes : kFramePcmBytes[rate];
    write_template.format[1] =
        static_cast<uint8_t>((r->long_play ? 0x40 : 0x00) | (r->settings->scms & 3) << 2);
    write_template.format[0] &= 0x0F;
    uint8_t* sub_id = write_template.sub_id;
    sub_id[1] = static_cast<uint8_t>((r->number / 100) << 4 | 0x02);
    sub_id[2] = bcd(r->number % 100);
    sub_id[3] = 0;
    sub_id[0] &= 0xF0;
    set_time_pack_program(1, r->number);
    set_time_pack_program(2, r->number);
    if (r->settings->time_date) set_date_pack();
}

void print_progress() {
    const uint8_t* t = pack(2).bytes + 3;
    printf(" - time: %.1d%.1d:%.1d%.1d:%.1d%.1d:%.1d%.1d\r", t[0] >> 4, t[0] & 15, t[1] >> 4,
           t[1] & 15, t[2] >> 4, t[2] & 15, t[3] >> 4, t[3] & 15);
}

// Fills the audio area from the file; the number of bytes the file gave. Bytes past a
// short read are zero, and so are the bytes past a 44.1 or 32 kHz frame's PCM: never
// samples left over from an earlier frame.
int32_t fill_audio(Recording* r) {
    memset(r->buffer, 0, static_cast<size_t>(r->frame_bytes));
    int32_t got = input_read(r->buffer, r->frame_bytes);
    if (got < 0) got = 0;
    if (got > r->frame_bytes) got = r->frame_bytes;
    if (r->long_play) {
        encode_lp_frame(write_template.audio, r->buffer);
    } else {
        memcpy(write_template.audio, r->buffer, static_cast<size_t>(r->frame_bytes));
        memset(write_template.audio + r->frame_bytes, 0,
               static_cast<size_t>(kAudioAreaBytes - r->frame_bytes));
    }
    return got;
}

// ESC ends the file with the frame in hand.
bool escape_pressed(Recording* r) {
    if (!key_waiting()) return false;
    int key = read_key();
    if (key < 0) return false;
    r->last_key = key;
    return key == kKeyEsc;
}

void set_frame_subcode(const Recording& r, int frame_index) {
    uint8_t* sub_id = write_template.sub_id;
    if (r.settings->start_ids && frame_index < kStartIdWindowFrames) {
        sub_id[0] = static_cast<uint8_t>((sub_id[0] & 0x0F) | kControlStartIdWindow);
    } else {
        sub_id[0] &= 0x3F;
        memset(pack(1).bytes + 3, kNoTimeByte, 4);
    }
    sub_id[1] = static_cast<uint8_t>((sub_id[1] & 0xF0) | kPackCountAll);
}

// Writes one frame: 0 or the failed write's ScsiStatus (reported here). The times step
// only for a frame that is on the tape.
ScsiStatus write_frame(const Recording& r) {
    print_progress();
    pack_parity();
    const ScsiAddress& out = r.output;
    ScsiStatus status = write_template_frame(out.adapter, out.target, out.lun);
    if (status != 0) {
        printf("write block failure: %.8x\n", status);
        return status;
    }
    advance_pack_times();
    return 0;
}

// The program frames, until the file ends or ESC; 0 or the failed write's status.
ScsiStatus record_program(Recording* r) {
    memset(pack(1).bytes + 3, 0, 4);  // program time 00:00:00:00
    for (int frame_index = 0;; ++frame_index) {
        int32_t got = fill_audio(r);
        bool end_of_file = escape_pressed(r);
        if (got == 0) return 0;  // nothing left: no frame
        if (got < r->frame_bytes) end_of_file = true;
        set_frame_subcode(*r, frame_index);
        ScsiStatus status = write_frame(*r);
        if (status != 0 || end_of_file) return status;
    }
}

ScsiStatus write_intertrack_silence(const Recording& r) {
    const int64_t frames = silence_frame_count(r.settings->intertrack_silence);
    memset(write_template.audio, 0, sizeof write_template.audio);
    for (int64_t i = 0; i < frames; ++i) {
        ScsiStatus status = write_frame(r);
        if (status != 0) return status;
    }
    return 0;
}

}  // namespace

bool output_drive_usable(const ScsiAddress& output) {
    uint8_t inquiry[kInquiryBytes];
    const int result =
        scsi_inquiry(output.adapter, output.target, output.lun, inquiry, sizeof inquiry);
    if (result == kInquiryNoDevice) {
        printf("%d:%d:%d\n", output.adapter, output.target, output.lun);
        return false;
    }
    if (result != 0) {
        printf("failure - drive at %d:%d:%d does not answer an inquiry\n", output.adapter,
               output.target, output.lun);
        return false;
    }
    if ((inquiry[0] & 0x1F) != kSequentialAccessDevice) {
        printf("failure - drive at %d:%d:%d is not a sequential device\n", output.adapter,
               output.target, output.lun);
        return false;
    }
    return true;
}

RecordResult record_file(const char* name, int number, const CueSettings& settings,
                         const ScsiAddress& output) {
    RecordResult result{RECORD_DONE, 0, false, 0};
    // The file's conversion is named on its own line, before anything of it is recorded.
    const std::string notes = input_examine(name);
    printf("File: %s%s\n", name, input_conversion().c_str());
    printf("%s", notes.c_str());
    Recording r{};
    r.settings = &settings;
    r.number = number;
    r.output = output;
    start_program(&r);
    if (!output_drive_usable(output)) {
        result.outcome = RECORD_DRIVE_UNUSABLE;
        return result;
    }
    ScsiStatus status = 0;
    if (input_open(name)) {
        status = record_program(&r);
    } else {
        printf("open file failed\n");
        result.not_opened = true;
    }
    input_close();
    result.last_key = r.last_key;
    if (status == 0) status = write_intertrack_silence(r);
    if (status != 0) result.outcome = RECORD_WRITE_FAILED;
    result.failure = status;
    return result;
}
