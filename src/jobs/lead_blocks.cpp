#include "jobs/lead_blocks.h"

#include <cstdio>
#include <cstring>

#include "frame/subcode_writer.h"
#include "scsi/tape_commands.h"

namespace {

constexpr uint8_t kStartIdOnly = 0x40;  // lead-in and lead-out: bit 6 set, bit 7 clear
constexpr uint8_t kPackItemBit3 = 0x08;
constexpr uint8_t kLeadInMarker = 0xBB;
constexpr uint8_t kLeadOutMarker = 0xEE;
constexpr uint8_t kNoTimeByte = 0xAA;
constexpr int kRateCode32k = 2;
constexpr int kQuantizationLongPlay = 1;
constexpr int kFrameMs = 30;          // 1440 pairs at 48 kHz, 1323 at 44.1, 960 at 32
constexpr int kLongPlayFrameMs = 60;  // 1920 pairs at 32 kHz

SubcodePack& pack(int k) {
    return write_template.packs[k - 1];
}

// Byte 0 of a time pack: item in bits 7-4, hundreds digit 0; bit 3 kept as it stands.
void set_time_pack_head(int k, uint8_t program_number, uint8_t time_byte) {
    uint8_t* bytes = pack(k).bytes;
    bytes[0] = static_cast<uint8_t>((k << 4) | (bytes[0] & kPackItemBit3));
    bytes[1] = program_number;
    memset(bytes + 3, time_byte, 4);
}

void set_control_bits(uint8_t bits) {
    write_template.sub_id[0] = static_cast<uint8_t>((write_template.sub_id[0] & 0x0F) | bits);
}

void clear_audio() {
    memset(write_template.audio, 0, sizeof write_template.audio);
}

// Identical frames: no time advances between them.
ScsiStatus write_identical_frames(int ha, int id, int lun, int count) {
    for (int i = 0; i < count; ++i) {
        ScsiStatus status = write_template_frame(ha, id, lun);
        if (status != 0) return status;
    }
    return 0;
}

// Silence frames carry on the template's subcode; each written frame steps both times.
ScsiStatus write_silence(int ha, int id, int lun, int seconds, const char* failure_line) {
    clear_audio();
    const int64_t frames = silence_frame_count(seconds);
    for (int64_t i = 0; i < frames; ++i) {
        pack_parity();
        ScsiStatus status = write_template_frame(ha, id, lun);
        if (status != 0) {
            printf(failure_line, status);
            return status;
        }
        advance_pack_times();
    }
    printf("done\n");
    return 0;
}

}  // namespace

bool template_in_long_play() {
    return frame_rate_code(write_template) == kRateCode32k &&
           frame_quantization_code(write_template) == kQuantizationLongPlay;
}

int64_t silence_frame_count(int seconds) {
    if (seconds <= 0) return 0;
    int64_t frames = 333 * static_cast<int64_t>(seconds) / 10;
    return template_in_long_play() ? frames / 2 : frames;
}

// Every frame of a recording goes through write_template_frame.
TapeWritten g_written;

ScsiStatus write_template_frame(int ha, int id, int lun) {
    const ScsiStatus status = scsi_write_block(
        ha, id, lun, reinterpret_cast<const uint8_t*>(&write_template), kFrameBytes);
    if (status != 0) return status;
    g_written.frames++;
    g_written.ms += template_in_long_play() ? kLongPlayFrameMs : kFrameMs;
    return 0;
}

TapeWritten template_frames_written(bool reset) {
    const TapeWritten written = g_written;
    if (reset) g_written = TapeWritten{};
    return written;
}

ScsiStatus write_lead_in(int ha, int id, int lun) {
    printf("Writing lead-in...");
    set_control_bits(kStartIdOnly);
    write_template.sub_id[1] = 0x02;  // hundreds digit 0, pack count 2
    write_template.sub_id[2] = kLeadInMarker;
    set_time_pack_head(1, kLeadInMarker, kNoTimeByte);
    set_time_pack_head(2, kLeadInMarker, kNoTimeByte);
    write_template.format[0] &= 0xC3;  // rate code 0 (48 kHz), channel code kept
    write_template.format[1] &= 0xF3;  // SCMS 00
    pack_parity();
    clear_audio();
    ScsiStatus status = write_identical_frames(ha, id, lun, kLeadInFrames);
    if (status != 0) {
        printf("fail writing lead-in frame\n");
        return status;
    }
    reset_subcode();
    printf("done\n");
    return 0;
}

ScsiStatus write_lead_in_silence(int ha, int id, int lun, int seconds) {
    printf("Writing lead-in silence...");
    set_control_bits(0);
    write_template.sub_id[1] = 0x02;
    write_template.sub_id[2] = 0x00;  // program number 000
    set_time_pack_head(1, 0x00, 0x00);
    set_time_pack_head(2, 0x00, 0x00);
    write_template.format[1] &= 0xF3;  // SCMS 00, quantization of the first file kept
    write_template.format[0] &= 0xCF;  // rate and channels of the first file kept
    return write_silence(ha, id, lun, seconds, "fail writing lead-in silence: %.8x\n");
}

ScsiStatus write_lead_out_silence(int ha, int id, int lun, int seconds) {
    printf("Writing lead-out silence...");
    return write_silence(ha, id, lun, seconds, "fail writing lead-out silence: %.8x\n");
}

ScsiStatus write_lead_out(int ha, int id, int lun) {
    printf("Writing lead-out...");
    write_template.sub_id[1] &= 0x0F;  // hundreds digit 0, pack count kept
    set_control_bits(kStartIdOnly);
    write_template.sub_id[2] = kLeadOutMarker;
    for (int k = 1; k <= 2; ++k) {
        pack(k).bytes[0] &= 0xF8;  // item kept, hundreds digit 0
        pack(k).bytes[1] = kLeadOutMarker;
        memset(pack(k).bytes + 3, kNoTimeByte, 4);
    }
    clear_audio();
    pack_parity();
    ScsiStatus status = write_identical_frames(ha, id, lun, kLeadOutFrames);
    if (status != 0) {
        printf("fail writing lead-out frame\n");
        return status;
    }
    reset_subcode();
    printf("done\n");
    return 0;
}
