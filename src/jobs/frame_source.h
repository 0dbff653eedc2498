#pragma once
// Where a reading job takes its frames from: the input drive, or an image file that stands
// in for it (/INPUTIMG). The jobs see one kind of read either way: a ScsiStatus that is
// good, says the recorded data has ended, or tells a damaged frame that /STOPEOT reads
// past. An image answers as a drive would: after its last whole frame, end of data; a
// frame the file system cannot read, a medium error, with the system's reason on the
// console. Image reads go straight to the file, never through the SCSI transport.

#include <cstdint>
#include <vector>

#include "core/job_state.h"
#include "frame/audio_frame.h"
#include "frame/frame_file.h"
#include "scsi/aspi_transport.h"

// What an image answers for a frame the file system could not read.
constexpr ScsiStatus kStatusImageReadError = 0x04031100u;  // MEDIUM ERROR, 11h/00h

struct FrameSource {
    const JobState* job;
    bool image;  // frames from job->input_image, not from the input drive
    FrameFile file;
    uint64_t next;  // the image's frame that the next read returns
    // Frames read ahead from the image in one go: frames [batch_first, batch_first + count).
    std::vector<uint8_t> batch;
    uint64_t batch_first;
    uint64_t batch_count;
};

// Opens the input the command line names. An image is opened read-only and measured; one
// that cannot be read fails here, before anything is written (-1 after a line with the
// system's reason). A size that is not a whole number of frames gets one warning line.
int frame_source_open(FrameSource* source, const JobState* job);
void frame_source_close(FrameSource* source);

// The next frame. On a failed read the frame holds zeros.
ScsiStatus frame_source_read(FrameSource* source, AudioFrame* frame);

// /SEEK: the drive winds to the target; an image is searched for the first frame that
// shows it, as the drive's search would, and the next read returns that frame. 0, or -1
// when the target was not reached (an image is then left at its end, like the tape).
int frame_source_seek(FrameSource* source);

// After the lead-in: the drive is given time to become ready; an image always is.
void frame_source_wait_ready(const FrameSource* source, uint32_t timeout_ms);

// /STOPEOT reads on past a damaged frame, as over blank tape; any other failed read ends
// a job.
bool frame_source_reads_on(const JobState* job, ScsiStatus status);

// True when the input is an image file, which the job reads faster than a console shows.
bool frame_source_is_image(const FrameSource* source);
