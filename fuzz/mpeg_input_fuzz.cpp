// Arbitrary bytes named .mp3 or .mp2: the MPEG input over libmpg123, resampled when the
// stream's rate is none the tape carries. See input_harness.h.

#include "input_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input_fuzz::initialize("mpeg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kNames[2] = {"in.mp3", "in.mp2"};
    return input_fuzz::run(data, size, kNames);
}
