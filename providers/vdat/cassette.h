#pragma once
// The cassette file and the drive state file beside it.
//
// Cassette file: a frame file (frame/frame_file.h), the tape's frames in order, 5822
// bytes each, no header, no padding: position n is frame n. An empty file is a blank
// cassette; reading at the position just past the last frame is end of data. A write at
// position n stores the frame there and cuts the file after it, as recording on tape
// erases what followed. Bytes after the last whole frame (a file cut short by an outside
// program) are not part of the tape; the next write drops them.
//
// While the drive holds the cassette its file must keep a name and stay at least as long
// as the drive left it. A file removed, replaced by another renamed over it, or cut short
// under the drive is a cassette pulled out of it: the drive lets go of it and writes
// nothing more to either file. (A file that keeps another hard link while its name is
// given to another file goes unnoticed.)
//
// The drive holds a shared lock (flock) on the cassette file: a program that writes a file
// only under an exclusive lock cannot overwrite a cassette in a drive.
//
// State file "<cassette>.state": what the drive remembers of the cassette between runs,
// in the profile-file form. While the drive holds the cassette the file is one
// fixed-size record mapped into memory and brought up to date with every change, so that
// it shows the drive's latest state whenever and however the process ends (even killed),
// at the cost of a copy into memory, not of a write:
//
//   [state]
//   position=0000000123     frame number the tape stands at (always ten digits)
//   density=0x80            density code: 0x80 audio mode, 0x13 data mode
//   loaded=1                0 after an UNLOAD (the cassette was ejected)
//   mrs_off=0               MRS switch of mode page 0x30 (1 = media recognition off)
//
// No state file means a cassette freshly inserted. Values may also be written by hand,
// in any width; a key that is missing or unreadable takes its fresh-cassette value. A
// cassette pulled out of the drive takes its state file with it: the next run finds
// whatever file is then there freshly inserted.

#include <cstddef>
#include <cstdint>
#include <string>

#include "frame/frame_file.h"
#include "platform/positional_file.h"

constexpr uint8_t kDensityAudio = 0x80;
constexpr uint8_t kDensityData = 0x13;

struct DriveMemory {
    uint64_t position = 0;
    uint8_t density = kDensityData;
    bool loaded = true;
    bool mrs_off = false;
};

struct Cassette {
    FrameFile tape;
    bool read_only = false;
    uint64_t file_bytes = 0;  // as long as the drive left the file
    std::string path;
    std::string state_path;
    int state_fd = -1;          // -1 when no state file could be opened: kept in memory only
    char* state_map = nullptr;  // the state file mapped into memory, when it could be
    DriveMemory saved;          // what the state file holds

    Cassette() = default;
    Cassette(const Cassette&) = delete;
    Cassette& operator=(const Cassette&) = delete;
    ~Cassette();
};

// Opens the cassette (read-only when write_protect is set or the file cannot be written)
// and reads its state file. 0, or -1 with a message in error.
int cassette_open(const char* path, bool write_protect, Cassette* cassette, DriveMemory* memory,
                  bool* state_found, std::string* error);

// Stores frame n (n <= frames) and erases everything after it. 0, or -1.
int cassette_write_frame(Cassette* cassette, uint64_t n, const uint8_t* frame);

// Brings the state file up to memory.
void cassette_save_state(Cassette* cassette, const DriveMemory& memory);

// nullptr while the cassette file keeps a name and is no shorter than the drive left it;
// otherwise what happened to it ("was removed", ...).
const char* cassette_vanished(const Cassette* cassette);
// Lets go of a cassette that vanished: closes its file and removes its state file.
void cassette_pull_out(Cassette* cassette);

// Whether the two paths name the same file.
bool same_file(const char* a, const char* b);
