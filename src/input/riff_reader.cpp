#include "input/riff_reader.h"

namespace {

constexpr uint64_t kHeaderBytes = 8;
constexpr uint64_t kFormTypeBytes = 4;

uint32_t little_endian_32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool file_size(FILE* file, uint64_t* size) {
    if (fseek(file, 0, SEEK_END) != 0) return false;
    long end = ftell(file);
    if (end < 0) return false;
    *size = uint64_t(end);
    return true;
}

bool read_header(FILE* file, uint64_t at, uint32_t* id, uint64_t* size) {
    uint8_t header[kHeaderBytes];
    if (fseek(file, long(at), SEEK_SET) != 0) return false;
    if (fread(header, 1, sizeof header, file) != sizeof header) return false;
    *id = little_endian_32(header);
    *size = little_endian_32(header + 4);
    return true;
}

// The first chunk with this ID whose header starts in [begin, end).
bool find_between(FILE* file, uint64_t begin, uint64_t end, uint32_t id, RiffChunk* chunk) {
    uint64_t file_end = 0;
    if (!file_size(file, &file_end)) return false;
    if (end > file_end) end = file_end;
    uint64_t at = begin;
    while (at + kHeaderBytes <= end) {
        uint32_t found = 0;
        uint64_t size = 0;
        if (!read_header(file, at, &found, &size)) return false;
        uint64_t data = at + kHeaderBytes;
        if (found == id) {
            chunk->id = found;
            chunk->offset = data;
            chunk->size = size < file_end - data ? size : file_end - data;
            return true;
        }
        at = data + size + (size & 1);
    }
    return false;
}

}  // namespace

bool riff_find_form(FILE* file, RiffChunk* riff) {
    return find_between(file, 0, UINT64_MAX, riff_fourcc("RIFF"), riff);
}

bool riff_find_chunk(FILE* file, const RiffChunk& riff, uint32_t id, RiffChunk* chunk) {
    if (riff.size < kFormTypeBytes) return false;
    return find_between(file, riff.offset + kFormTypeBytes, riff.offset + riff.size, id, chunk);
}
