#pragma once
// The WAV files written by extraction: a 44-byte RIFF header, then 16-bit stereo PCM,
// left sample first. All header integers are little-endian.
//
//   offset size value
//        0    4 "RIFF"
//        4    4 data length + 36
//        8    8 "WAVEfmt "
//       16    4 16 (format chunk length)
//       20    2 1 (PCM)
//       22    2 2 (channels)
//       24    4 sampling rate in Hz
//       28    4 sampling rate x 4 (bytes per second)
//       32    2 4 (bytes per sample pair)
//       34    2 16 (bits per sample)
//       36    4 "data"
//       40    4 data length in bytes
//       44      the PCM data
//
// A track opens with a header of length 0 and is closed with the true length, so a file
// left by an interrupted process still reads as a valid, empty WAV file.
//
// Broadcast Wave (EBU Tech 3285, version 1), on request: a "bext" chunk between the
// format chunk and "data", and the RIFF length grown by its size:
//
//   offset size value
//       36    4 "bext"
//       40    4 666 (602 fixed bytes and 64 of coding history)
//       44  256 Description "DAT program N", NUL-padded
//      300   32 Originator "TERVANO"
//      332   32 OriginatorReference, unique to the file
//      364   10 OriginationDate "yyyy-mm-dd"
//      374    8 OriginationTime "hh:mm:ss"
//      382    8 TimeReference, the first sample's position (64 bits, low half first)
//      390    2 Version 1
//      392  254 UMID, loudness and reserved bytes, all 0
//      646   64 CodingHistory "A=PCM,F=48000,W=16,M=stereo,T=DAT tape\r\n", NUL-padded
//      710    8 "data" and its length, then the PCM
//
// The coding history has a fixed room so that the header keeps its size when a track
// restarts at another rate.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/clock.h"

constexpr int kWavHeaderBytes = 44;

constexpr int kBextChunkBytes = 8 + 602 + 64;
constexpr int kBwfHeaderBytes = kWavHeaderBytes + kBextChunkBytes;

// The RIFF length field (data length + 36) must fit in 32 bits.
constexpr uint32_t kWavMaxDataBytes = 0xFFFFFFFFu - 36u;

struct BextFacts {
    int program;  // 12-bit BCD value, 0 when the file holds none
    bool long_play;
    LocalTime origination;    // when the audio was recorded (or, failing that, transferred)
    uint64_t time_reference;  // the first sample's position, in samples since 00:00:00:00
    char reference[33];       // OriginatorReference
};

// The bext chunk, header included, for a file at rate_code.
void build_bext_chunk(uint8_t (&chunk)[kBextChunkBytes], int rate_code, const BextFacts& facts);

int wav_header_bytes(bool bwf);

// Header rate of a rate code: 0 -> 48000, 1 -> 44100, 2 -> 32000, any other -> 48000.
uint32_t wav_rate_hz(int rate_code);

// The 44 header bytes for data_length bytes of PCM at rate_code.
void build_wav_header(uint8_t (&header)[kWavHeaderBytes], uint32_t data_length, int rate_code);

// Writes the header at the file's current position, a Broadcast Wave header when bext is
// given; 0 on success, -1 when the write failed.
int write_wav_header(FILE* file, uint32_t data_length, int rate_code,
                     const BextFacts* bext = nullptr);

// "<base><track>.wav" into name; false when it does not fit (nothing is truncated
// silently: the caller reports it).
bool wav_file_name(char* name, size_t size, const char* base, int track_number);

// The most PCM bytes one file takes before extraction goes on in the next file. Tests
// lower it so that the split can be seen without writing 4 GiB; values of 0 or above
// kWavMaxDataBytes restore kWavMaxDataBytes.
uint32_t wav_data_limit(bool bwf = false);
void wav_set_data_limit(uint32_t bytes);
