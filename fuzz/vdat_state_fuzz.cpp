// vdat's cassette state file, which users may edit by hand, on arbitrary bytes: the
// cassette is opened as a drive opens it at start-up. What the drive then remembers must
// be a state it can be in, and the record it writes back must give the same state when
// the cassette is opened again.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cassette.h"
#include "frame/frame_search.h"
#include "scratch_folder.h"

namespace {

std::string g_cassette;
std::string g_state;

void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "vdat state: broken promise: %s\n", promise);
    abort();
}

DriveMemory open_cassette(bool* state_found) {
    Cassette cassette;
    DriveMemory memory;
    std::string error;
    require(cassette_open(g_cassette.c_str(), false, &cassette, &memory, state_found, &error) == 0,
            "a readable cassette opens, whatever its state file holds");
    return memory;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch::make("state");
    g_cassette = scratch::path("tape.dat");
    g_state = g_cassette + ".state";
    scratch::write(g_cassette, nullptr, 0);  // a blank cassette
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    scratch::write(g_state, data, size);
    bool found = false;
    const DriveMemory first = open_cassette(&found);
    require(found == (size > 0), "a state file with anything in it is found");
    require(first.position <= kMaxRunningPositions, "a position on the tape");
    bool again = false;
    const DriveMemory second = open_cassette(&again);
    require(again && second.position == first.position && second.density == first.density &&
                second.loaded == first.loaded && second.mrs_off == first.mrs_off,
            "the state written back reads the same");
    return 0;
}
