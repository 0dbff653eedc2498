// Tape image and tape-to-tape copy: whole 5822-byte frames, subcode included, moved
// without looking into the audio.
//
// Image file ("<name>.img"): the frames exactly as the drive delivered them (audio area,
// seven subcode packs, four sub-ID bytes, two format bytes), in tape order, with no
// header, no trailer and no padding. Its size is 5822 times the number of frames; bytes
// after the last whole frame are ignored when the image is read.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/audio_frame.h"
#include "frame/subcode_reader.h"
#include "jobs/jobs.h"
#include "platform/keyboard.h"
#include "scsi/aspi_transport.h"
#include "scsi/tape_commands.h"

namespace {

constexpr char kImageSuffix[] = ".img";
constexpr int kImageNameSize = kFileNameSize + sizeof kImageSuffix - 1;

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

uint8_t* frame_bytes(AudioFrame* frame) {
    return reinterpret_cast<uint8_t*>(frame);
}

const uint8_t* frame_bytes(const AudioFrame* frame) {
    return reinterpret_cast<const uint8_t*>(frame);
}

// ESC is kept apart from end_reached: under /STOPEOT the subcode reader clears that flag
// after every frame, and the user's request must survive it.
bool esc_pressed() {
    return key_waiting() && read_key() == kKeyEsc;
}

ScsiStatus read_tape_frame(const ScsiAddress& drive, AudioFrame* frame) {
    memset(frame, 0, sizeof *frame);
    return scsi_read_block(drive.adapter, drive.target, drive.lun, frame_bytes(frame), kFrameBytes);
}

// After a failed read that is not the end of the tape, /STOPEOT reads on: the damaged
// frame is reported and not stored, and the copy goes on with the next one.
bool read_on_after(ScsiStatus status, const JobState* job) {
    return job->stop_at_eot && !scsi_tape_exhausted(status);
}

bool write_tape_frame(const ScsiAddress& drive, const AudioFrame* frame) {
    return scsi_write_block(drive.adapter, drive.target, drive.lun, frame_bytes(frame),
                            kFrameBytes) == 0;
}

void show_frame(const AudioFrame* frame, JobState* job) {
    read_subcode(frame, job);
    print_status_line(job);
}

// The first frame only brings the subcode reader up to date; it is never stored.
bool probe_input(JobState* job, AudioFrame* frame) {
    if (!scsi_ok(read_tape_frame(job->input, frame))) {
        printf("read audio block failed\n");
        return false;
    }
    read_subcode(frame, job);
    job->end_reached = 0;
    return true;
}

void report_image_write_failure(const char* name) {
    printf("Writing %s failed: %s\n", name, strerror(errno));
}

// False when a frame could not be stored (reported here); the frames before it stay.
bool copy_tape_to_image(JobState* job, FILE* image, const char* name) {
    AudioFrame frame;
    bool stop = false;
    do {
        if (esc_pressed()) stop = true;
        ScsiStatus status = read_tape_frame(job->input, &frame);
        if (!scsi_ok(status)) {
            // The end of the recording ends the copy quietly; a damaged frame must not
            // end an archive copy without a word.
            if (scsi_tape_exhausted(status)) break;
            printf("read audio block failed: %.8x\n", status);
            if (!read_on_after(status, job)) break;
            continue;
        }
        show_frame(&frame, job);
        if (fwrite(&frame, kFrameBytes, 1, image) != 1) {
            report_image_write_failure(name);
            return false;
        }
    } while (!stop && !job->end_reached);
    return true;
}

// A long blank stretch inside an image ends the copy like the end of a recording; the
// image itself may hold more (one made with /STOPEOT does), and the user must know.
void report_records_left(FILE* image, const char* name) {
    long here = ftell(image);
    if (here < 0 || fseek(image, 0, SEEK_END) != 0) return;
    long left = (ftell(image) - here) / kFrameBytes;
    if (left > 0) {
        printf("\nEnd of recording: %ld more frames of %s not written (/STOPEOT writes them)\n",
               left, name);
    }
}

// Whole records only: a short last record or a read error ends the copy.
void copy_image_to_tape(JobState* job, FILE* image, const char* name) {
    AudioFrame frame;
    bool stop = false;
    do {
        if (esc_pressed()) stop = true;
        memset(&frame, 0, sizeof frame);
        if (fread(&frame, 1, kFrameBytes, image) != static_cast<size_t>(kFrameBytes)) {
            if (ferror(image)) printf("Reading %s failed: %s\n", name, strerror(errno));
            break;
        }
        show_frame(&frame, job);
        if (!write_tape_frame(job->output, &frame)) {
            printf("write block fail\n");
            return;
        }
    } while (!stop && !job->end_reached);
    if (!stop && job->end_reached) report_records_left(image, name);
}

void copy_tape_to_tape(JobState* job) {
    AudioFrame frame;
    bool stop = false;
    do {
        if (esc_pressed()) stop = true;
        ScsiStatus status = read_tape_frame(job->input, &frame);
        if (!scsi_ok(status)) {
            printf("block read fail\n");
            if (!read_on_after(status, job)) break;
            continue;
        }
        show_frame(&frame, job);
        if (!write_tape_frame(job->output, &frame)) {
            printf("block write fail\n");
            break;
        }
    } while (!stop && !job->end_reached);
}

// Prints the job's heading with the image name, then opens the image; nullptr (with
// the message) when it cannot be opened.
FILE* open_image(const JobState* job, const char* heading, const char* mode,
                 char (&name)[kImageNameSize]) {
    image_name(job, name);
    printf(heading, name);
    FILE* image = fopen(name, mode);
    if (!image) printf("Cannot open %s\n", name);
    return image;
}

}  // namespace

int dat_to_img(JobState* job) {
    reset_live_status(job);
    AudioFrame probe;
    if (!probe_input(job, &probe)) return 1;

    char name[kImageNameSize];
    FILE* image = open_image(job, "Saving DAT tape in IMG file:%s\n", "w+b", name);
    if (!image) return 1;
    job->end_reached = 0;
    bool stored = copy_tape_to_image(job, image, name);
    // The last buffered frames reach the file only here.
    if (fclose(image) != 0 && stored) report_image_write_failure(name);
    return 0;
}

int img_to_dat(JobState* job) {
    reset_live_status(job);
    char name[kImageNameSize];
    // The job only reads the image, and archived images are often read-only.
    FILE* image = open_image(job, "Copying IMG file: %s to DAT tape\n", "rb", name);
    if (!image) return 1;
    job->end_reached = 0;
    copy_image_to_tape(job, image, name);
    fclose(image);
    return 0;
}

int dat_to_dat(JobState* job) {
    reset_live_status(job);
    AudioFrame probe;
    if (!probe_input(job, &probe)) return 1;
    copy_tape_to_tape(job);
    return 0;
}
