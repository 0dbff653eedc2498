// Arbitrary bytes named .flac or without an extension (libsndfile tells the format by the
// content): the libsndfile input, libsoxr resampling and the dither. See input_harness.h.

#include "input_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input_fuzz::initialize("sound");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kNames[2] = {"in.flac", "in"};
    return input_fuzz::run(data, size, kNames);
}
