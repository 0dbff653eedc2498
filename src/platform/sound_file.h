#pragma once
// Audio files of the common formats (FLAC, AIFF/AIFC, W64, RF64, Ogg Vorbis and Opus, WAV
// in codings beyond plain PCM, ...) read through libsndfile, which tells the format by the
// file's content. Samples come out as interleaved floats, full scale at +-1.0.

#include <cstdint>
#include <string>

struct SoundFile;

enum SoundCoding {
    SOUND_INTEGER = 0,     // linear integers of `bits` bits (lossless codecs included)
    SOUND_FLOAT = 1,       // floating point samples of `bits` bits
    SOUND_COMPRESSED = 2,  // a lossy or companded coding: no fixed depth
};

struct SoundFileInfo {
    int32_t sample_rate;
    int32_t channels;
    int64_t frames;  // as the header tells; a damaged file may hold fewer
    int32_t bits;    // 0 for SOUND_COMPRESSED
    SoundCoding coding;
    bool mpeg;                // an MPEG audio stream, whatever the file is called
    std::string coding_name;  // of a compressed coding: "Vorbis", "Opus", ...
};

// Opens the file for reading: 0 with *file set, or -1 with the library's reason in *error.
int sound_file_open(const char* path, SoundFile** file, SoundFileInfo* info, std::string* error);
// Up to frames sample frames into out (frames x channels floats); the count read, 0 at
// the end or on an error.
int64_t sound_file_read(SoundFile* file, float* out, int64_t frames);
// nullptr is fine.
void sound_file_close(SoundFile* file);
