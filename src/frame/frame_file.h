#pragma once
// Frame files: tape images, and the cassettes of the virtual drive. The tape's frames in
// order, 5822 bytes each, with no header and no padding: frame n starts at byte n * 5822.
// Bytes after the last whole frame (a file cut short) are not part of the tape.

#include <cstddef>
#include <cstdint>

#include "frame/frame_search.h"
#include "platform/positional_file.h"

struct FrameFile {
    PlatformFile file;
    uint64_t frames = 0;         // whole frames
    uint64_t partial_bytes = 0;  // bytes after the last whole frame
};

// Counts the frames of the open file. 0, or -1 when it cannot be told or the file is no
// regular file.
int frame_file_measure(FrameFile* frames);

// length (at most 5822) bytes of frame n. 0, or -1 past the last frame or on an I/O error.
int frame_file_read(const FrameFile& frames, uint64_t n, uint8_t* frame, size_t length);

// count whole frames from frame first, one after another into out (count * 5822 bytes).
// 0, or -1 when they are not all in the file or on an I/O error.
int frame_file_read_frames(const FrameFile& frames, uint64_t first, uint64_t count, uint8_t* out);

// The 62 subcode bytes of count frames from first, one after another into out.
int frame_file_read_subcodes(const FrameFile& frames, uint64_t first, uint64_t count, uint8_t* out);

// The first frame that shows the target, or -1 (frame_search over the file).
int64_t frame_file_find(const FrameFile& frames, const FrameTarget& target);
