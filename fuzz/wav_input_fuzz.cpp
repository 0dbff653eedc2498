// Arbitrary bytes named .wav: our RIFF reader and the conversions of its samples (and
// libsndfile for a WAV file in a coding of its own). See input_harness.h.

#include "input_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input_fuzz::initialize("wav");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kNames[2] = {"in.wav", "IN.WAV"};
    return input_fuzz::run(data, size, kNames);
}
