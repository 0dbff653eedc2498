#pragma once
// MP3, MP2 and MPA files: their analysis (channels, rate, bit rate) and their decoding to
// 16-bit stereo PCM, with one decoder at a time as a module-wide instance.
//
// The decoder keeps only frames that fit the stream: a frame whose MPEG version, layer,
// rate or channel count differs from the stream's is damage that happened to look like a
// header, and its audio (often resampled noise) is dropped. The bytes skipped between good
// frames are counted as damaged frames of the size of the frame before them; the count is
// reported once, when the file is closed.

#include <cstdint>
#include <string>

#include "input/input_reader.h"

// Fills channels, sample rate and bit rate (the average, for a variable rate) and returns
// true; on failure returns false with the console line that says why in *message.
bool analyze_compressed(const char* name, InputFormat* format, std::string* message);
// 1 when the file is open and its stream has the rate and channel count that the probe
// found (the codes in the write template are the probe's), else 0 with a message.
int acm_input_open(const char* name, const InputFormat& probed);
// n bytes while the stream lasts, then the remainder, then 0. Only the first n bytes of
// the buffer are written (well within the n - 1 + 10000 the callers provide).
int32_t acm_input_read(uint8_t* buffer, int32_t n);
// The next decoded frame, 16-bit stereo, for a caller that converts it further; false at
// the end of the stream.
bool acm_input_next_piece(const uint8_t** piece, int32_t* length);
// Releases whatever acm_input_open created, also after it failed part way; 1.
int acm_input_close();
