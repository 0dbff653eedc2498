#include "frame/subcode_reader.h"

#include <cstdio>

namespace {

// A run of frames without subcode ends the recorded material at its 62nd frame: the
// count stops at 61 and the next blank frame raises the signal.
constexpr int kBlankRunLimit = 61;

// Pack bytes 3-6 hold a time (hours first), bytes 1-3 and 4-6 of the date pack two
// three-byte BCD groups.
uint32_t read_be32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint32_t read_be24(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 16) | (static_cast<uint32_t>(bytes[1]) << 8) |
           bytes[2];
}

// The 12-bit program-number field of a time pack: byte 0 bits 3-0, then byte 1.
int pack_program_number(const SubcodePack& pack) {
    return (pack.bytes[0] & 0x0F) * 256 + pack.bytes[1];
}

uint32_t pack_time(const SubcodePack& pack) {
    return read_be32(&pack.bytes[3]);
}

// 0x0AA and 0x0BB carry no valid time: the last good time runs on by one frame.
bool pack_time_is_void(int program_number) {
    return program_number == kPnoInvalid || program_number == kPnoLeadIn;
}

void count_blank_frame(JobState* job) {
    job->no_subcode = 1;
    if (job->blank_frames < kBlankRunLimit) {
        job->blank_frames += 1;
        job->had_subcode = 1;
        return;
    }
    if (job->had_subcode == 1) job->end_reached = 1;
    job->had_subcode = 0;
}

void apply_program_time_pack(const SubcodePack& pack, JobState* job) {
    job->program_time_raw = pack_time(pack);
    job->program_time_pno = pack_program_number(pack);
    if (pack_time_is_void(job->program_time_pno)) {
        job->program_time = bcd_time_increment(job->program_time);
    } else {
        job->program_time = job->program_time_raw;
    }
}

void apply_absolute_time_pack(const SubcodePack& pack, JobState* job) {
    job->abs_time_raw = pack_time(pack);
    job->abs_time_pno = pack_program_number(pack);
    if (pack_time_is_void(job->abs_time_pno)) {
        job->abs_time = bcd_time_increment(job->abs_time);
    } else {
        job->program_number = job->abs_time_pno;
        job->abs_time = job->abs_time_raw;
    }
}

void apply_date_pack(const SubcodePack& pack, JobState* job) {
    job->date_ymd = read_be24(&pack.bytes[1]);
    job->date_hms = read_be24(&pack.bytes[4]);
}

void decode_packs(const AudioFrame& frame, JobState* job) {
    job->blank_frames = 0;
    job->no_subcode = 0;
    job->had_subcode = 1;
    job->program_time_raw = 0;
    job->program_time_pno = 0;
    job->date_ymd = 0;
    job->date_hms = 0;
    // Packs apply in slot order, so the last pack of an item wins and every void-time
    // pack steps its time once. Parity is not checked: damaged packs are taken as read.
    for (const SubcodePack& pack : frame.packs) {
        switch (pack_item(pack)) {
            case kItemProgramTime:
                apply_program_time_pack(pack, job);
                break;
            case kItemAbsoluteTime:
                apply_absolute_time_pack(pack, job);
                break;
            case kItemDate:
                apply_date_pack(pack, job);
                break;
            default:
                break;
        }
    }
}

void decode_format(const AudioFrame& frame, JobState* job) {
    const int rate_code = frame_rate_code(frame);
    job->rate_changed = rate_code != job->rate_code ? 1 : 0;
    job->rate_code = rate_code;
    job->channels_code = frame_channels_code(frame);
    job->quantization_code = frame_quantization_code(frame);
    job->sample_bits = job->quantization_code == 1 ? 12 : 16;
    job->scms_code = frame_scms_code(frame);
}

// A new program begins at the first frame of a start-ID run. Frames whose control bits
// are all 0 end the run; other control bits neither end it nor start a new one.
void track_start_id(const AudioFrame& frame, JobState* job) {
    const uint8_t control_bits = frame.sub_id[0] & 0xF0;
    if (control_bits == 0) {
        job->start_id_seen = 0;
    } else if (control_bits & kControlStartId) {
        job->new_start_id = job->start_id_seen == 0 ? 1 : 0;
        job->start_id_seen = 1;
    }
}

// The status display is assembled here and written with one call. The longest line
// takes 13 + 14 + 14 + 14 + 9 + 4 + 2 + 3 + 8 = 81 characters.
struct StatusLine {
    char text[128];
    int length;
};

void put_text(StatusLine* line, const char* text) {
    while (*text != '\0' && line->length < static_cast<int>(sizeof line->text)) {
        line->text[line->length++] = *text++;
    }
}

// Lower-case hexadecimal with at least two digits, as "%.2x" prints it.
void put_hex(StatusLine* line, uint32_t value) {
    static const char kDigits[] = "0123456789abcdef";
    char reversed[8];
    int count = 0;
    do {
        reversed[count++] = kDigits[value & 0x0F];
        value >>= 4;
    } while (value != 0);
    if (count < 2) reversed[count++] = '0';
    while (count > 0 && line->length < static_cast<int>(sizeof line->text)) {
        line->text[line->length++] = reversed[--count];
    }
}

// Three bytes of a BCD group (bits 23-16, 15-8, 7-0), separated by `separator`.
void put_bcd_triple(StatusLine* line, uint32_t value, const char* separator) {
    put_hex(line, (value >> 16) & 0xFF);
    put_text(line, separator);
    put_hex(line, (value >> 8) & 0xFF);
    put_text(line, separator);
    put_hex(line, value & 0xFF);
}

void put_time(StatusLine* line, const char* label, uint32_t raw, uint32_t carried) {
    // A pack without a time shows the time carried forward instead.
    const uint32_t time = (raw == 0 || raw == kNoTime) ? carried : raw;
    put_text(line, label);
    put_hex(line, time >> 24);
    put_text(line, ":");
    put_bcd_triple(line, time, ":");
    put_text(line, "-");
}

void put_program_number(StatusLine* line, const JobState& job) {
    const int pno = job.abs_time_pno;
    const bool shows_last_program = pno == 0 || pno == kPnoInvalid || pno == kPnoLeadIn;
    // The whole 12-bit field is shown, so program 123 reads 123 and not 23.
    const int shown = shows_last_program ? job.program_number : pno;
    put_text(line, "PRG:");
    put_hex(line, static_cast<uint32_t>(shown));
    put_text(line, "-");
}

void put_format(StatusLine* line, const JobState& job) {
    static const char* const kRates[] = {"48k-", "44k-", "32k-"};
    static const char* const kChannels[] = {"2-", "4-"};
    static const char* const kWidths[] = {"16-", "12-"};
    static const char* const kScms[] = {"00 ", "01 ", "10 ", "11 "};
    if (job.rate_code >= 0 && job.rate_code < 3) put_text(line, kRates[job.rate_code]);
    if (job.channels_code >= 0 && job.channels_code < 2) {
        put_text(line, kChannels[job.channels_code]);
    }
    if (job.quantization_code >= 0 && job.quantization_code < 2) {
        put_text(line, kWidths[job.quantization_code]);
    }
    put_text(line, "SCMS=");
    if (job.scms_code >= 0 && job.scms_code < 4) put_text(line, kScms[job.scms_code]);
}

}  // namespace

void read_subcode(const AudioFrame* frame, JobState* job) {
    if (frame == nullptr || job == nullptr) return;
    decode_subcode(frame, job);
    fputs("\r", stdout);
}

void decode_subcode(const AudioFrame* frame, JobState* job) {
    if (frame == nullptr || job == nullptr) return;
    job->new_start_id = 0;
    if (frame_has_subcode(*frame)) {
        decode_packs(*frame, job);
    } else {
        count_blank_frame(job);
    }
    decode_format(*frame, job);
    track_start_id(*frame, job);
    // /STOPEOT reads on through blank tape and failed reads: no end survives the call,
    // neither the blank-run signal nor one the job set before it. Jobs keep an ESC request
    // apart from this flag.
    if (job->stop_at_eot != 0 && job->end_reached == 1) job->end_reached = 0;
}

void print_status_line(const JobState* job) {
    if (job == nullptr) return;
    StatusLine line{};
    put_program_number(&line, *job);
    put_time(&line, "A:", job->abs_time_raw, job->abs_time);
    put_time(&line, "P:", job->program_time_raw, job->program_time);
    put_text(&line, "DATE:");
    put_bcd_triple(&line, job->date_ymd, "/");
    put_text(&line, "-");
    put_bcd_triple(&line, job->date_hms, ":");
    put_text(&line, "-");
    put_format(&line, *job);
    fwrite(line.text, 1, static_cast<size_t>(line.length), stdout);
}
