#include "jobs/frame_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "frame/frame_search.h"
#include "jobs/job_console.h"
#include "jobs/seek.h"
#include "scsi/tape_commands.h"

namespace {

// Frames taken from the image in one read: fewer, larger reads keep extraction bound by
// the disk (64 frames are 372,608 bytes).
constexpr uint64_t kBatchFrames = 64;

ScsiStatus read_from_drive(const FrameSource* source, AudioFrame* frame) {
    const ScsiAddress& drive = source->job->input;
    return scsi_read_block(drive.adapter, drive.target, drive.lun,
                           reinterpret_cast<uint8_t*>(frame), kFrameBytes);
}

bool in_batch(const FrameSource* s, uint64_t n) {
    return n >= s->batch_first && n < s->batch_first + s->batch_count;
}

// Fills the batch from frame n on; false when the file system fails it.
bool fill_batch(FrameSource* s, uint64_t n) {
    const uint64_t count = std::min(kBatchFrames, s->file.frames - n);
    s->batch_first = n;
    s->batch_count = 0;
    if (frame_file_read_frames(s->file, n, count, s->batch.data()) != 0) return false;
    s->batch_count = count;
    return true;
}

// A frame the file system cannot give is a damaged frame: reported with the reason, and
// passed over so that /STOPEOT reads on after it, as a drive does.
ScsiStatus read_from_image(FrameSource* s, AudioFrame* frame) {
    const uint64_t n = s->next;
    if (n >= s->file.frames) return kStatusEndOfData;
    s->next++;
    if (in_batch(s, n) || fill_batch(s, n)) {
        memcpy(frame, &s->batch[(n - s->batch_first) * kFrameBytes], kFrameBytes);
        return kStatusReady;
    }
    // The batch failed somewhere: this frame alone tells whether it is the one.
    if (frame_file_read(s->file, n, reinterpret_cast<uint8_t*>(frame), kFrameBytes) == 0) {
        return kStatusReady;
    }
    print_line("Reading %s failed at frame %llu: %s\n", s->job->input_image,
               static_cast<unsigned long long>(n), platform_file_error());
    return kStatusImageReadError;
}

FrameTarget seek_target_of(const JobState* job) {
    FrameTarget target{};
    target.kind = job->seek_kind;
    target.program = static_cast<int>(job->seek_target);
    for (int i = 0; i < 4; ++i)
        target.time[i] = static_cast<uint8_t>(job->seek_target >> (24 - 8 * i));
    return target;
}

// The search is over before anything moves: one progress line shows where it landed.
int seek_in_image(FrameSource* s) {
    print_seek_heading(s->job);
    const int64_t found = frame_file_find(s->file, seek_target_of(s->job));
    s->batch_count = 0;
    if (found < 0) {
        s->next = s->file.frames;
        printf("Reached end of tape...");
        return -1;
    }
    s->next = static_cast<uint64_t>(found);
    uint8_t subcode[kSubcodeBytes];
    uint8_t record[kPositionRecordBytes];
    if (frame_file_read_subcodes(s->file, s->next, 1, subcode) == 0) {
        frame_position_record(subcode, s->next, record);
        print_seek_progress(record);
    }
    printf("\n");
    return 0;
}

// Only a regular file is opened: a folder has no frames, and opening a pipe would wait
// for a writer.
int open_image(FrameSource* s) {
    const char* name = s->job->input_image;
    FileIdentity identity{};
    if (platform_path_identify(name, &identity) == 0 && !identity.regular) {
        printf("Cannot read %s: not a regular file\n", name);
        return -1;
    }
    if (platform_file_open(name, FILE_READ_ONLY, &s->file.file) != 0) {
        printf("Cannot open %s: %s\n", name, platform_file_error());
        return -1;
    }
    if (frame_file_measure(&s->file) != 0) {
        printf("Cannot read %s: %s\n", name, platform_file_error());
        platform_file_close(&s->file.file);
        return -1;
    }
    if (s->file.partial_bytes > 0) {
        printf("Warning: %s ends in %llu bytes that are no whole frame; read up to frame %llu\n",
               name, static_cast<unsigned long long>(s->file.partial_bytes),
               static_cast<unsigned long long>(s->file.frames));
    }
    s->batch.resize(kBatchFrames * kFrameBytes);
    return 0;
}

}  // namespace

int frame_source_open(FrameSource* source, const JobState* job) {
    *source = FrameSource{};
    source->job = job;
    source->image = job->input_image_given != 0;
    return source->image ? open_image(source) : 0;
}

void frame_source_close(FrameSource* source) {
    if (source->image) platform_file_close(&source->file.file);
    source->batch = {};
}

ScsiStatus frame_source_read(FrameSource* source, AudioFrame* frame) {
    const ScsiStatus status =
        source->image ? read_from_image(source, frame) : read_from_drive(source, frame);
    if (!scsi_ok(status)) memset(frame, 0, sizeof *frame);
    return status;
}

int frame_source_seek(FrameSource* source) {
    if (source->image) return seek_in_image(source);
    return seek_tape(&source->job->input, source->job);
}

void frame_source_wait_ready(const FrameSource* source, uint32_t timeout_ms) {
    if (source->image) return;
    const ScsiAddress& drive = source->job->input;
    scsi_wait_ready(drive.adapter, drive.target, drive.lun, timeout_ms);
}

bool frame_source_is_image(const FrameSource* source) {
    return source->image;
}

bool frame_source_reads_on(const JobState* job, ScsiStatus status) {
    return job->stop_at_eot && scsi_frame_damaged(status);
}
