#pragma once
// Chunk search in RIFF files, with the rules our WAV input relies on:
//
//   offset      size  content
//   0           4     chunk ID ("RIFF" for the outer chunk)
//   4           4     size of the chunk's data, little-endian, without pad byte
//   8           size  data; for "RIFF" the first 4 bytes are the form type ("WAVE")
//   8 + size    0/1   a pad byte when size is odd, so the next chunk starts on an even
//                     offset
//
// The outer chunk is the first "RIFF" chunk among the top-level chunks from the start of
// the file, whatever its form type. Inside it a chunk is the first one with the wanted ID,
// searched from the start of the RIFF chunk's contents each time, so "fmt " and "data"
// may come in either order. A size that runs past the end of the file is cut to the file
// (a writer that never came back to fix its sizes leaves 0xFFFFFFFF or too large values).

#include <cstdint>
#include <cstdio>

struct RiffChunk {
    uint32_t id;      // four characters, first in the low byte
    uint64_t offset;  // of the first data byte in the file
    uint64_t size;    // data bytes, cut to the end of the file
};

constexpr uint32_t riff_fourcc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 |
           uint32_t(uint8_t(text[2])) << 16 | uint32_t(uint8_t(text[3])) << 24;
}

// The first RIFF chunk of the file; false when there is none.
bool riff_find_form(FILE* file, RiffChunk* riff);

// The first chunk with this ID inside the RIFF chunk; false when there is none.
bool riff_find_chunk(FILE* file, const RiffChunk& riff, uint32_t id, RiffChunk* chunk);
