// The subcode reader and the status line on arbitrary frames, as a reading job feeds
// them. The reader looks only at the 62 bytes after the audio area, so the input is a
// byte of job settings followed by records of one repeat byte and those 62 bytes: a
// record stands for 1-80 identical frames, enough for a blank run to end the material.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/subcode_reader.h"

namespace {

constexpr size_t kTailBytes = kFrameBytes - kAudioAreaBytes;
constexpr int kMaxRepeat = 80;

void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "subcode reader: broken promise: %s\n", promise);
    abort();
}

void check_status(const JobState& job) {
    require(job.blank_frames >= 0 && job.blank_frames <= 61, "blank run counted up to 61");
    require(job.sample_bits == (job.quantization_code == 1 ? 12 : 16), "sample bits");
    require(job.rate_code >= 0 && job.rate_code <= 3, "rate code is two bits");
    require(!job.new_start_id || job.start_id_seen, "a new start ID is a start ID");
    require(!job.stop_at_eot || job.end_reached == 0, "/STOPEOT lets no end through");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The status lines go nowhere; the fuzzer reports on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    JobState job{};
    job.stop_at_eot = data[0] & 1;
    job.no_subcode = 1;  // as a job resets it before the first read
    static AudioFrame frame;
    for (size_t at = 1; at + 1 + kTailBytes <= size; at += 1 + kTailBytes) {
        memcpy(reinterpret_cast<uint8_t*>(&frame) + kAudioAreaBytes, data + at + 1, kTailBytes);
        for (int repeat = 1 + data[at] % kMaxRepeat; repeat > 0; --repeat) {
            read_subcode(&frame, &job);
            print_status_line(&job);
            check_status(job);
        }
    }
    return 0;
}
