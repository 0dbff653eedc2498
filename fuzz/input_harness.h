#pragma once
// The audio-file input on arbitrary bytes, called as the recording job calls it: probe,
// open, reads of one frame's PCM until a short one, close. The first input byte holds the
// settings, the rest is the file:
//   bits 0-2  the size of every read (kReadSizes)
//   bits 3-4  the rate forced on every file: none, 48000, 44100, 32000
//   bit 5     which of the target's two file names the file gets
// Each read goes into a heap block of exactly the size asked, so a write past it is
// caught, and the reader's promises are checked: n bytes while the audio lasts, then the
// remainder, then 0, in whole 16-bit stereo sample frames, at a rate the tape carries.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "frame/subcode_writer.h"
#include "input/input_reader.h"
#include "scratch_folder.h"

namespace input_fuzz {

// One byte at a time, odd sizes that split sample frames, the three PCM sizes of a frame
// (32, 44.1, 48 kHz), one larger than a queued piece.
constexpr int32_t kReadSizes[8] = {1, 3, 6, 3840, 5292, 5760, 8193, 20000};
constexpr int32_t kForcedRates[4] = {0, 48000, 44100, 32000};
constexpr int kRateCodes[4] = {-1, 0, 1, 2};

inline void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "input reader: broken promise: %s\n", promise);
    abort();
}

inline void initialize(const char* what) {
    // The reader's console lines go nowhere; the fuzzer reports on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    scratch::make(what);
}

inline void check_reads(int32_t n) {
    auto buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(n));
    uint64_t total = 0;
    int32_t got = n;
    while (got == n) {
        got = input_read(buffer.get(), n);
        require(got >= 0 && got <= n, "a read gives 0 to n bytes");
        total += static_cast<uint64_t>(got);
    }
    require(input_read(buffer.get(), n) == 0, "after a short read, nothing more");
    require(total % 4 == 0, "whole 16-bit stereo sample frames");
}

inline int run(const uint8_t* data, size_t size, const char* const names[2]) {
    if (size == 0) return 0;
    const uint8_t settings = data[0];
    const int32_t n = kReadSizes[settings & 7];
    const int forced = (settings >> 3) & 3;
    const std::string path = scratch::path(names[(settings >> 5) & 1]);
    scratch::write(path, data + 1, size - 1);

    input_force_rate(kForcedRates[forced]);
    write_template.format[0] = 0x0C;  // rate code 3, which no accepted file leaves
    input_examine(path.c_str());
    input_conversion();
    if (input_open(path.c_str())) {
        const int rate_code = (write_template.format[0] >> 2) & 3;
        require(rate_code != 3, "an opened file has a tape rate");
        require(forced == 0 || rate_code == kRateCodes[forced], "the forced rate is kept");
        const InputFormat& format = input_format();
        require(format.channels == 1 || format.channels == 2, "one or two channels");
        check_reads(n);
    }
    require(input_close() == 0, "close gives 0");
    input_force_rate(0);
    return 0;
}

}  // namespace input_fuzz
