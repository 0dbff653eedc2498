#include "frame/frame_file.h"

#include "frame/audio_frame.h"

namespace {

int read_subcodes(void* context, uint64_t first, uint64_t count, uint8_t* out) {
    return frame_file_read_subcodes(*static_cast<FrameFile*>(context), first, count, out);
}

}  // namespace

int frame_file_measure(FrameFile* frames) {
    FileIdentity identity{};
    if (platform_file_identify(frames->file, &identity) != 0 || !identity.regular) return -1;
    frames->frames = identity.bytes / kFrameBytes;
    frames->partial_bytes = identity.bytes % kFrameBytes;
    return 0;
}

int frame_file_read(const FrameFile& frames, uint64_t n, uint8_t* frame, size_t length) {
    if (n >= frames.frames || length > static_cast<size_t>(kFrameBytes)) return -1;
    return platform_file_read_at(frames.file, n * kFrameBytes, frame, length);
}

int frame_file_read_frames(const FrameFile& frames, uint64_t first, uint64_t count, uint8_t* out) {
    if (first > frames.frames || count > frames.frames - first) return -1;
    return platform_file_read_at(frames.file, first * kFrameBytes, out, count * kFrameBytes);
}

int frame_file_read_subcodes(const FrameFile& frames, uint64_t first, uint64_t count,
                             uint8_t* out) {
    if (first > frames.frames || count > frames.frames - first) return -1;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t offset = (first + i) * kFrameBytes + kSubcodeOffset;
        if (platform_file_read_at(frames.file, offset, out + i * kSubcodeBytes, kSubcodeBytes) !=
            0) {
            return -1;
        }
    }
    return 0;
}

int64_t frame_file_find(const FrameFile& frames, const FrameTarget& target) {
    FrameFile searched = frames;
    return frame_search(frames.frames, target, read_subcodes, &searched);
}
