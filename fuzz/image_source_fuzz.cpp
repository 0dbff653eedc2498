// An image file as a reading job's input (/INPUTIMG): opened, searched for a /SEEK target
// when one is set, and read frame by frame to its end. The input is six bytes of settings
// and then the image:
//   byte 0     /SEEK: 0 none, 1-4 PROGNUM, ABSTIME, RUNTIME, PROGTIME (modulo 5)
//   bytes 1-4  its target, brought into the range the command line accepts
//   byte 5     blank frames (zeros) before the image bytes, low nibble x 40, and after
//              them, high nibble x 20: long images cross the read batches and the
//              search's chunks without long inputs
// The frames read must be the file's own, in order, from the frame the search found (the
// first that shows the target) to the last whole one, then end of data.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/frame_search.h"
#include "jobs/frame_source.h"
#include "scratch_folder.h"

namespace {

constexpr size_t kSettingsBytes = 6;
constexpr uint64_t kBlankBeforeStep = 40;
constexpr uint64_t kBlankAfterStep = 20;

struct Image {
    const uint8_t* bytes;  // the input's image bytes, after the blank frames before them
    uint64_t size;
    uint64_t before;  // bytes of zeros in front of them
    uint64_t frames;  // whole frames of the file
};

void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "image source: broken promise: %s\n", promise);
    abort();
}

// Frame n of the file as it was written.
void model_frame(const Image& image, uint64_t n, uint8_t* out) {
    memset(out, 0, kFrameBytes);
    const uint64_t begin = std::max(n * kFrameBytes, image.before);
    const uint64_t end = std::min((n + 1) * kFrameBytes, image.before + image.size);
    if (begin < end) {
        memcpy(out + (begin - n * kFrameBytes), image.bytes + (begin - image.before), end - begin);
    }
}

void set_seek(const uint8_t* s, JobState* job) {
    job->seek = s[0] % 5 != 0;
    job->seek_kind = (s[0] % 5 + 3) % 4;  // 1-4 give kinds 0-3
    if (job->seek_kind == TARGET_PROGRAM) {
        job->seek_target = 1 + (s[1] << 8 | s[2]) % 799;
    } else {
        job->seek_target = uint32_t(s[1] % 100) << 24 | uint32_t(s[2] % 60) << 16 |
                           uint32_t(s[3] % 60) << 8 | uint32_t(s[4] % 34);
    }
}

bool running_time_is(uint64_t n, uint32_t target) {
    uint8_t time[4];
    running_time_at(n, time);
    for (int i = 0; i < 4; ++i) {
        if (bcd_number(time[i]) != int((target >> (24 - 8 * i)) & 0xFF)) return false;
    }
    return true;
}

// The first frame of the file that shows the target, or the frame count when none does.
uint64_t first_showing(const Image& image, const JobState& job) {
    FrameTarget target{job.seek_kind, int(job.seek_target), {}};
    for (int i = 0; i < 4; ++i) target.time[i] = uint8_t(job.seek_target >> (24 - 8 * i));
    static uint8_t frame[kFrameBytes];
    for (uint64_t n = 0; n < image.frames; ++n) {
        if (job.seek_kind == TARGET_RUNNING_TIME) {
            if (running_time_is(n, job.seek_target)) return n;
            continue;
        }
        model_frame(image, n, frame);
        FrameView view;
        view_frame(frame + kSubcodeOffset, &view);
        if (view_shows_target(view, target)) return n;
    }
    return image.frames;
}

std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The job's console lines go nowhere; the fuzzer reports on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    scratch::make("image");
    g_path = scratch::path("tape.img");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kSettingsBytes) return 0;
    const uint8_t* settings = data;
    Image image{data + kSettingsBytes, size - kSettingsBytes, 0, 0};
    image.before = (settings[5] & 15) * kBlankBeforeStep * kFrameBytes;
    const uint64_t length =
        image.before + image.size + (settings[5] >> 4) * kBlankAfterStep * kFrameBytes;
    image.frames = length / kFrameBytes;
    scratch::write(g_path, image.bytes, image.size, off_t(image.before));
    if (truncate(g_path.c_str(), off_t(length)) != 0) abort();

    JobState job{};
    job.input_image_given = 1;
    snprintf(job.input_image, sizeof job.input_image, "%s", g_path.c_str());
    set_seek(settings, &job);
    FrameSource source;
    require(frame_source_open(&source, &job) == 0, "a regular file opens");
    uint64_t next = 0;
    if (job.seek) {
        next = first_showing(image, job);
        require(frame_source_seek(&source) == (next < image.frames ? 0 : -1),
                "the seek finds a frame when one shows the target");
    }
    static AudioFrame frame;
    static uint8_t expected[kFrameBytes];
    for (; next < image.frames; ++next) {
        require(frame_source_read(&source, &frame) == kStatusReady, "every whole frame reads");
        model_frame(image, next, expected);
        require(memcmp(&frame, expected, kFrameBytes) == 0, "the file's frames, in order");
    }
    require(frame_source_read(&source, &frame) == kStatusEndOfData, "then end of data");
    frame_source_close(&source);
    return 0;
}
