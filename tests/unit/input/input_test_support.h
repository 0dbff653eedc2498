#pragma once
// Runs one file through the input reader as the recording job does.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/input_reader.h"

struct Outcome {
    int opened;
    std::string console;
    std::vector<uint8_t> pcm;
    std::vector<int32_t> counts;  // of every read, the final 0 included
};

// Probe, open, reads of n bytes until one returns 0, close. The buffer is exactly the
// n - 1 + 10000 bytes the reader may use, so the sanitizer catches a write past it.
inline Outcome run_file(const std::string& path, int32_t n) {
    testing::internal::CaptureStdout();
    Outcome r;
    input_probe(path.c_str());
    r.opened = input_open(path.c_str());
    std::vector<uint8_t> buffer(n - 1 + 10000);
    for (int32_t got = 1; got > 0 && r.counts.size() < 100000;) {
        got = input_read(buffer.data(), n);
        r.counts.push_back(got);
        r.pcm.insert(r.pcm.end(), buffer.begin(), buffer.begin() + got);
    }
    input_close();
    r.console = testing::internal::GetCapturedStdout();
    return r;
}

// The counts of reads that deliver total bytes n at a time: n, ..., the remainder, 0.
inline std::vector<int32_t> expected_counts(size_t total, int32_t n) {
    std::vector<int32_t> counts(total / n, n);
    if (total % n) counts.push_back(int32_t(total % n));
    counts.push_back(0);
    return counts;
}
