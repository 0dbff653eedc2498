// Tape image and tape-to-tape copy: whole 5822-byte frames, subcode included, moved
// without looking into the audio. The first frame read is stored like every other, so
// an image or a copy holds the tape frame for frame from where the job started.
//
// Image file ("<name>.img"): the frames exactly as the drive delivered them (audio area,
// seven subcode packs, four sub-ID bytes, two format bytes), in tape order, with no
// header, no trailer and no padding. Its size is 5822 times the number of frames; bytes
// after the last whole frame are ignored when the image is read, and a write that fails
// leaves the image cut back to its last whole frame.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/audio_frame.h"
#include "frame/concealment.h"
#include "frame/subcode_reader.h"
#include "jobs/frame_source.h"
#include "jobs/job_console.h"
#include "jobs/jobs.h"
#include "jobs/transfer_log.h"
#include "jobs/transfer_report.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "scsi/aspi_transport.h"
#include "scsi/sense_text.h"
#include "scsi/tape_commands.h"

namespace {

constexpr char kImageSuffix[] = ".img";
constexpr int kImageNameSize = kFileNameSize + sizeof kImageSuffix - 1;

// One copy job: where its frames go, and what it did.
struct Copy {
    JobState* job;
    FrameSource* source;  // the input of a reading job
    FILE* image;          // the image written or read, nullptr for a tape copy
    char name[kImageNameSize];
    uint64_t frames_stored;
    long image_bytes;  // the image's whole frames when it was opened, in bytes
    bool stop;         // ESC; kept apart from end_reached, which /STOPEOT clears per frame
    TransferLog log;
};

void reset_live_status(JobState* job) {
    job->end_reached = 0;
    job->no_subcode = 1;
    job->program_number = 0;
    job->program_time = 0;
    job->abs_time = 0;
}

void image_name(const JobState* job, char (&name)[kImageNameSize]) {
    snprintf(name, sizeof name, "%.*s%s", kFileNameSize - 1, job->file_name, kImageSuffix);
}

const uint8_t* frame_bytes(const AudioFrame* frame) {
    return reinterpret_cast<const uint8_t*>(frame);
}

void poll_esc(Copy& c) {
    if (key_waiting() && read_key() == kKeyEsc) {
        c.stop = true;
        log_stop_key(&c.log);
    }
}

// The one place the tape-reading jobs take frames from.
ScsiStatus read_tape_frame(Copy& c, AudioFrame* frame) {
    return frame_source_read(c.source, frame);
}

// 0 or the ScsiStatus of the failure.
ScsiStatus write_tape_frame(const ScsiAddress& drive, const AudioFrame* frame) {
    return scsi_write_block(drive.adapter, drive.target, drive.lun, frame_bytes(frame),
                            kFrameBytes);
}

int damage_of(const AudioFrame& frame) {
    const int channels = damaged_channels(frame_error_flags(frame));
    return (channels & kDamagedLeft ? kDamageLeft : 0) |
           (channels & kDamagedRight ? kDamageRight : 0);
}

void log_stored(Copy& c, const AudioFrame& frame) {
    c.frames_stored++;
    log_frame(&c.log, frame_facts(c.job, damage_of(frame), false), &frame, kFrameBytes);
}

// A damaged frame that /STOPEOT reads past is left out of the copy, but listed.
void log_left_out(Copy& c) {
    FrameFacts facts = frame_facts(c.job, kDamageUnreadable, false);
    facts.start_id = false;
    log_frame(&c.log, facts, nullptr, 0);
}

// The end of the recording ends a copy (an image quietly). Any other failure is reported;
// /STOPEOT reads on past it, else it ends the job early. True when the copy goes on.
bool read_failed(Copy& c, ScsiStatus status, const char* line) {
    const bool image = c.image != nullptr;
    if (!(image && scsi_tape_exhausted(status))) print_line(line, status);
    if (scsi_tape_exhausted(status)) {
        log_end(&c.log, END_RECORDING);
        return false;
    }
    if (!frame_source_reads_on(c.job, status)) {
        log_read_error(&c.log, status);
        return false;
    }
    log_left_out(c);
    return true;
}

// The first good frame brings the subcode reader up to date before the output opens; it
// is stored first. /STOPEOT reads past damaged frames before it, as after it.
bool probe_input(Copy& c, AudioFrame* frame) {
    JobState* job = c.job;
    for (;;) {
        const ScsiStatus status = read_tape_frame(c, frame);
        if (scsi_ok(status)) break;
        if (!frame_source_reads_on(job, status)) {
            printf("read audio block failed\n");
            return false;
        }
        print_line("read audio block failed: %.8x\n", status);
        log_left_out(c);
    }
    take_subcode(frame, job);
    job->end_reached = 0;
    return true;
}

// The frame was decoded when it was read. False when it could not be stored (reported
// here); the image then ends at the last whole frame.
bool store_in_image(Copy& c, const AudioFrame& frame) {
    show_status_line(c.job);
    if (fwrite(&frame, kFrameBytes, 1, c.image) != 1) {
        const int error = errno;
        print_line("Writing %s failed: %s\n", c.name, strerror(error));
        log_end(&c.log, END_WRITE_ERROR, strerror(error));
        file_cut(c.image, c.frames_stored * kFrameBytes);
        return false;
    }
    log_stored(c, frame);
    return true;
}

bool store_on_tape(Copy& c, const AudioFrame& frame, const char* line) {
    show_status_line(c.job);
    const ScsiStatus status = write_tape_frame(c.job->output, &frame);
    if (status != 0) {
        print_line("%s", line);
        char words[96];
        scsi_status_words(status, words, sizeof words);
        log_end(&c.log, END_WRITE_ERROR, words);
        return false;
    }
    log_stored(c, frame);
    return true;
}

// The frame in hand (the probe) first, then the rest of the tape.
void copy_tape_to_image(Copy& c, AudioFrame& frame) {
    if (!store_in_image(c, frame)) return;
    do {
        poll_esc(c);
        ScsiStatus status = read_tape_frame(c, &frame);
        if (!scsi_ok(status)) {
            if (read_failed(c, status, "read audio block failed: %.8x\n")) continue;
            return;
        }
        take_subcode(&frame, c.job);
        if (!store_in_image(c, frame)) return;
    } while (!c.stop && !c.job->end_reached);
    if (!c.stop) log_end(&c.log, END_RECORDING);
}

void copy_tape_to_tape(Copy& c, AudioFrame& frame) {
    if (!store_on_tape(c, frame, "block write fail\n")) return;
    do {
        poll_esc(c);
        ScsiStatus status = read_tape_frame(c, &frame);
        if (!scsi_ok(status)) {
            if (read_failed(c, status, "block read fail\n")) continue;
            return;
        }
        take_subcode(&frame, c.job);
        if (!store_on_tape(c, frame, "block write fail\n")) return;
    } while (!c.stop && !c.job->end_reached);
    if (!c.stop) log_end(&c.log, END_RECORDING);
}

// A long blank stretch inside an image ends the copy like the end of a recording; the
// image itself may hold more (one made with /STOPEOT does), and the user must know.
void report_records_left(FILE* image, const char* name) {
    long here = ftell(image);
    if (here < 0 || fseek(image, 0, SEEK_END) != 0) return;
    long left = (ftell(image) - here) / kFrameBytes;
    if (left > 0) {
        print_line("End of recording: %ld more frames of %s not written (/STOPEOT writes them)\n",
                   left, name);
    }
}

// Whole records only: a short last record ends the copy. False when the image could not
// be read at all (the job could not start).
bool copy_image_to_tape(Copy& c) {
    AudioFrame frame;
    do {
        poll_esc(c);
        memset(&frame, 0, sizeof frame);
        if (fread(&frame, 1, kFrameBytes, c.image) != static_cast<size_t>(kFrameBytes)) {
            // An image that ends before the length it had when opened was cut short.
            if (!ferror(c.image) && ftell(c.image) >= c.image_bytes) {
                log_end(&c.log, END_IMAGE_END);
                return true;
            }
            const int error = ferror(c.image) ? errno : ENODATA;
            print_line("Reading %s failed: %s\n", c.name, strerror(error));
            log_end(&c.log, END_READ_ERROR, strerror(error));
            return c.frames_stored > 0;
        }
        take_subcode(&frame, c.job);
        if (!store_on_tape(c, frame, "write block fail\n")) return true;
    } while (!c.stop && !c.job->end_reached);
    if (!c.stop) {
        log_end(&c.log, END_RECORDING);
        report_records_left(c.image, c.name);
    }
    return true;
}

// Prints the job's heading with the image name, then opens the image to be read, or
// created; false (with the message and the reason) when it cannot be opened, or is a
// folder.
bool open_image(Copy& c, const char* heading, bool create) {
    image_name(c.job, c.name);
    printf(heading, c.name);
    c.image = create ? file_create_locked(c.name) : fopen(c.name, "rb");
    int error = errno;
    if (c.image && file_is_folder(c.image)) {
        fclose(c.image);
        c.image = nullptr;
        error = EISDIR;
    }
    if (!c.image) printf("Cannot open %s: %s\n", c.name, file_error_text(error));
    return c.image != nullptr;
}

// The summary closes every job; the reading jobs also leave their records. A record that
// cannot be written says so on its own line: the audio it describes is whole, so the
// exit status stays the transfer's.
int finish(Copy& c, const std::string& records_base) {
    log_finish(&c.log);
    if (!records_base.empty()) write_transfer_records(c.log, records_base);
    print_line("%s", log_summary(c.log).c_str());
    return log_ended_on_error(c.log) ? kJobEndedEarly : 0;
}

// A tape copy has no file to name its records after: they go to the current folder,
// named after the time the copy began.
std::string tape_copy_records_base(const TransferLog& log) {
    const LocalTime& t = log.started;
    char base[48];
    snprintf(base, sizeof base, "DAT2DAT-%04d%02d%02d-%02d%02d%02d", t.year % 10000, t.month % 100,
             t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
    return base;
}

}  // namespace

int dat_to_img(JobState* job, FrameSource* source) {
    Copy c{};
    c.job = job;
    c.source = source;
    log_begin(&c.log, "DAT2IMG", nullptr, job);
    reset_live_status(job);
    AudioFrame frame;
    if (!probe_input(c, &frame)) return 1;
    if (!open_image(c, "Saving DAT tape in IMG file:%s\n", true)) return 1;
    log_file_opened(&c.log, c.name);
    log_hash_files_as_written(&c.log);
    // Unbuffered, so that a failed write is seen at the frame it hit.
    setvbuf(c.image, nullptr, _IONBF, 0);
    job->end_reached = 0;
    copy_tape_to_image(c, frame);
    if (fclose(c.image) != 0 && !log_ended_on_error(c.log)) {
        log_end(&c.log, END_WRITE_ERROR, strerror(errno));
    }
    log_file_closed(&c.log);
    if (c.frames_stored == 0) {
        remove(c.name);
        log_file_removed(&c.log);
    }
    return finish(c, job->file_name);
}

int img_to_dat(JobState* job) {
    Copy c{};
    c.job = job;
    log_begin(&c.log, "IMG2DAT", nullptr, job);
    reset_live_status(job);
    // The job only reads the image, and archived images are often read-only.
    if (!open_image(c, "Copying IMG file: %s to DAT tape\n", false)) return 1;
    fseek(c.image, 0, SEEK_END);  // a length that cannot be told is 0: no cut is seen
    c.image_bytes = ftell(c.image) / kFrameBytes * kFrameBytes;
    rewind(c.image);
    job->end_reached = 0;
    const bool started = copy_image_to_tape(c);
    fclose(c.image);
    if (!started) return 1;
    return finish(c, "");
}

int dat_to_dat(JobState* job, FrameSource* source) {
    Copy c{};
    c.job = job;
    c.source = source;
    log_begin(&c.log, "DAT2DAT", nullptr, job);
    reset_live_status(job);
    AudioFrame frame;
    if (!probe_input(c, &frame)) return 1;
    copy_tape_to_tape(c, frame);
    return finish(c, tape_copy_records_base(c.log));
}
