#pragma once
// The audio files a cue file names, delivered as 16-bit little-endian stereo PCM at the
// file's own rate. One file at a time: the reader's state is one module-wide instance.
//
// Calling order: input_probe on a name (also once on the first file before anything is
// recorded, for the codes of the lead-in silence), then input_open, input_read until it
// returns fewer bytes than asked, and input_close (also after a failed open).

#include <cstdint>

enum InputKind { INPUT_UNKNOWN = 0, INPUT_WAV = 1, INPUT_COMPRESSED = 2 };

// The format found by the last successful probe; all 0 before the first.
struct InputFormat {
    int32_t channels;
    int32_t sample_rate;
    int32_t bit_rate;  // bits per second (for a WAV file: bits per sample x rate)
};

// Takes the kind from the extension, reads the file's format and writes the rate and
// channel codes into the write template. A failure changes neither.
void input_probe(const char* name);
// 1 when the file of the last probe is open at its first audio byte, else 0.
int input_open(const char* name);
// Up to n bytes into buffer (which must hold n - 1 + 10000 bytes); 0 at the end or on an
// error.
int32_t input_read(uint8_t* buffer, int32_t n);
// Closes whatever input_open opened; 0.
int input_close();
// Rate and channel codes of the write template's format byte 0.
void input_set_format(int32_t sample_rate, int32_t channels);

InputKind input_kind();
const InputFormat& input_format();
