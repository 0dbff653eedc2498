#pragma once
// The audio files a cue file names, delivered as 16-bit little-endian stereo PCM at the
// file's own rate. One file at a time: the reader's state is one module-wide instance.
//
// Calling order: input_probe on a name (also once on the first file before anything is
// recorded, for the codes of the lead-in silence), then input_open, input_read until it
// returns fewer bytes than asked, and input_close (also after a failed open).
//
// The kind comes from the extension, the text after the last dot (never a leading one),
// in any case: WAV, or MP3, MP2 and MPA for MPEG audio; anything else cannot be opened.
// What the tape cannot carry as it stands is converted or refused, never recorded as
// noise: mono goes to both channels; 8-, 24- and 32-bit integer and 32-bit float samples
// become 16-bit; a rate other than 32, 44.1 or 48 kHz, more than two channels or another
// coding is refused ("not supported file type" at the probe, and the open fails).

#include <cstdint>

enum InputKind { INPUT_UNKNOWN = 0, INPUT_WAV = 1, INPUT_COMPRESSED = 2 };

// The format found by the last successful probe; all 0 before the first.
struct InputFormat {
    int32_t channels;     // of the file (the reader delivers two in any case)
    int32_t sample_rate;  // samples per second
    int32_t bit_rate;     // bits per second (for a WAV file: bits per sample x rate)
};

// Takes the kind from the extension, reads the file's format and writes the rate and
// channel codes into the write template. A failure or a refused format changes neither.
void input_probe(const char* name);
// 1 when the file of the last probe is open at its first audio byte, else 0 (also for a
// format the probe refused).
int input_open(const char* name);
// n bytes into buffer while the audio lasts, then the remainder, then 0 (also after a read
// error). The buffer must hold n - 1 + 10000 bytes.
int32_t input_read(uint8_t* buffer, int32_t n);
// Closes whatever input_open opened, also after a failed open; 0.
int input_close();
// Writes the rate code and the stereo channel code into the write template's format byte
// 0 and returns 1, or, for a format the tape cannot carry, prints "not supported file
// type" and returns 0 without touching the template.
int input_set_format(int32_t sample_rate, int32_t channels);

InputKind input_kind();
const InputFormat& input_format();
