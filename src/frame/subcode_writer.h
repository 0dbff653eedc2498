#pragma once
// The one frame every recording fills and sends: lead-in, silences, program frames and
// lead-out are all this template, changed in place between writes. Its subcode runs
// through the whole recording; every value stays until a writer changes it.

#include "frame/audio_frame.h"

// Process-wide, every byte 0 at start.
extern AudioFrame write_template;

// Parity (byte 7) of packs 1 to N, N = the pack count in sub-ID byte 1 (at most 7).
void pack_parity();

// One frame step of the absolute time (pack 2), then of the program time (pack 1). A
// time that holds the no-time marker AA AA AA AA is left as it is.
void advance_pack_times();

// After a lead-in or lead-out: program 001, index 01, both times 00:00:00:00, pack count
// 2. Control bits, format bytes, the other packs and the audio are not touched.
void reset_subcode();
