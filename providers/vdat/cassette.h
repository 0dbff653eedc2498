#pragma once
// The cassette file and the drive state file beside it.
//
// Cassette file: the tape's frames in order, 5822 bytes each, exactly the layout of the
// tape image file: no header, no padding. Position n is frame n, at byte n * 5822. An
// empty file is a blank cassette; reading at the position just past the last frame is
// end of data. A write at position n stores the frame there and cuts the file after it,
// as recording on tape erases what followed. Bytes after the last whole frame (a file
// cut short by an outside program) are not part of the tape; the next write drops them.
//
// State file "<cassette>.state": what the drive remembers of the cassette between runs,
// in the profile-file form, rewritten in place as one fixed-size record whenever a value
// changes (a position change per frame costs one small pwrite):
//
//   [state]
//   position=0000000123     frame number the tape stands at
//   density=0x80            density code: 0x80 audio mode, 0x13 data mode
//   loaded=1                0 after an UNLOAD (the cassette was ejected)
//   mrs_off=0               MRS switch of mode page 0x30 (1 = media recognition off)
//
// No state file means a cassette freshly inserted. Values may also be written by hand,
// in any width; a key that is missing or unreadable takes its fresh-cassette value.

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint8_t kDensityAudio = 0x80;
constexpr uint8_t kDensityData = 0x13;

struct DriveMemory {
    uint64_t position = 0;
    uint8_t density = kDensityData;
    bool loaded = true;
    bool mrs_off = false;
};

struct Cassette {
    int fd = -1;
    int state_fd = -1;  // -1 when no state file could be opened: state stays in memory
    bool read_only = false;
    uint64_t file_bytes = 0;
    uint64_t frames = 0;
    std::string path;
    std::string state_path;
    DriveMemory saved;  // what the state file holds
    bool state_record_written = false;

    Cassette() = default;
    Cassette(const Cassette&) = delete;
    Cassette& operator=(const Cassette&) = delete;
    ~Cassette();
};

// Opens the cassette (read-only when write_protect is set or the file cannot be written)
// and reads its state file. 0, or -1 with a message in error.
int cassette_open(const char* path, bool write_protect, Cassette* cassette, DriveMemory* memory,
                  bool* state_found, std::string* error);

// Whole frame n into frame (5822 bytes). 0, or -1 on an I/O error.
int cassette_read_frame(Cassette* cassette, uint64_t n, uint8_t* frame, size_t length);
// The 62 subcode bytes of count frames from n, one after another into out.
int cassette_read_subcodes(Cassette* cassette, uint64_t n, uint64_t count, uint8_t* out);
// Stores frame n (n <= frames) and erases everything after it. 0, or -1 (errno kept).
int cassette_write_frame(Cassette* cassette, uint64_t n, const uint8_t* frame);

// Rewrites the state record when memory differs from what the file holds.
void cassette_save_state(Cassette* cassette, const DriveMemory& memory);

// Whether the two files are the same file.
bool same_file(const char* a, const char* b);
