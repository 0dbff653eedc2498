#pragma once
// The audio files a cue file names, delivered as 16-bit little-endian stereo PCM at a rate
// the tape carries. One file at a time: the reader's state is one module-wide instance.
//
// Calling order: input_probe (or input_examine) on a name, also once on the first file
// before anything is recorded, for the codes of the lead-in silence; then input_open,
// input_read until it returns fewer bytes than asked, and input_close (also after a
// failed open).
//
// The reader comes from the extension (the text after the last dot, never a leading one,
// in any case): WAV files are read here (a WAV file in a coding of its own goes to
// libsndfile); MP3, MP2 and MPA go to libmpg123; FLAC, AIF, AIFF, AIFC, W64, RF64, OGG,
// OGA and OPUS, and a name with any other extension or none, go to libsndfile, which
// tells the format by the content.
//
// What the tape cannot carry as it stands is converted or refused, never recorded as
// noise: mono goes to both channels; a rate other than 32, 44.1 or 48 kHz is resampled
// to 44.1 kHz when it is a multiple of 11025, else to 48 kHz (or every file to the rate
// that input_force_rate set); samples of more than 16 bits, float samples and resampled
// samples are reduced to 16 bits with TPDF dither; 16-bit samples at a tape rate pass
// unchanged. More than two channels are refused ("not supported file type").

#include <cstdint>
#include <string>

enum InputKind {
    INPUT_UNKNOWN = 0,     // told by the content (libsndfile)
    INPUT_WAV = 1,         // our own RIFF reader
    INPUT_COMPRESSED = 2,  // MPEG audio (libmpg123)
    INPUT_SOUND_FILE = 3,  // libsndfile
};

// The format found by the last successful probe; all 0 before the first.
struct InputFormat {
    int32_t channels;     // of the file (the reader delivers two in any case)
    int32_t sample_rate;  // samples per second, of the file
    int32_t bit_rate;     // bits per second (for PCM: bits per sample x rate)
};

// Every file is recorded at this rate (48000, 44100 or 32000); 0 lets each file keep a
// rate the tape carries.
void input_force_rate(int32_t rate);

// Takes the kind from the extension, reads the file's format, decides its conversion and
// writes the tape rate and channel codes into the write template. A failure or a refused
// format changes neither. Returns the console lines that say why a file cannot be used,
// instead of printing them.
std::string input_examine(const char* name);
// input_examine, printing its lines.
void input_probe(const char* name);
// The conversion the last accepted probe decided, for the "File:" line:
// " (96000 Hz, 24 bit, 2 ch) -> 48000 Hz 16 bit, resampled, dithered", or "" when the
// file's samples go to the tape as they are.
std::string input_conversion();

// 1 when the file of the last probe is open at its first audio byte, else 0 (also for a
// format the probe refused).
int input_open(const char* name);
// n bytes into buffer while the audio lasts, then the remainder, then 0 (also after a read
// error). The buffer must hold n - 1 + 10000 bytes.
int32_t input_read(uint8_t* buffer, int32_t n);
// Closes whatever input_open opened, also after a failed open, and reports once what the
// file lost (samples clipped at full scale, a file that ended before its header's
// length); 0.
int input_close();
// Writes the rate code and the stereo channel code into the write template's format byte
// 0 and returns 1, or, for a rate the tape cannot carry or more than two channels, prints
// "not supported file type" and returns 0 without touching the template.
int input_set_format(int32_t sample_rate, int32_t channels);

InputKind input_kind();
const InputFormat& input_format();
