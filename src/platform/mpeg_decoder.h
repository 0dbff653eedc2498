#pragma once
// MPEG audio (layers 1, 2 and 3, MPEG-1, 2 and 2.5) decoded by libmpg123, frame by frame,
// to interleaved 16-bit little-endian stereo at the stream's own rate; a mono stream is
// put on both channels. Where the file carries the encoder's delay and padding (a LAME or
// Xing tag) they are cut, so the audio starts and ends where its source did. After
// damaged bytes the decoder searches on for the next frame.
//
// Codes are libmpg123's: 0 for success, -1 or a positive error code; mpeg_error_text
// gives the message that goes with one.

#include <cstdint>

struct MpegDecoder;

struct MpegStreamInfo {
    int32_t channels;
    int32_t sample_rate;
    int32_t bit_rate;  // bits per second; for a variable rate, the average over the file
};

// One decoded frame: its audio and the header fields that place it in the stream.
struct MpegFrame {
    const uint8_t* pcm;  // valid until the next call
    int32_t bytes;       // 0 for a frame that the delay or padding cut away entirely
    int32_t version;     // 0 MPEG-1, 1 MPEG-2, 2 MPEG-2.5
    int32_t layer;
    int32_t sample_rate;
    int32_t channels;
    int64_t position;  // of the frame's header in the file
    int32_t size;      // bytes of the frame, header included
};

// Creates a decoder; 0 or the code. *decoder stays nullptr on failure.
int mpeg_decoder_create(MpegDecoder** decoder);
// Opens the file and reads up to its first frame; 0 or the code (a file without any frame
// fails). With measure set, the bit rate of a variable-rate file is averaged over a scan
// of the whole file.
int mpeg_decoder_open(MpegDecoder* decoder, const char* path, bool measure, MpegStreamInfo* info);
// 1 and the next frame; 0 at the end of the stream; -1 with the code in *error.
int mpeg_decoder_next_frame(MpegDecoder* decoder, MpegFrame* frame, int* error);
// Closes the file and frees the decoder; nullptr is fine.
void mpeg_decoder_delete(MpegDecoder* decoder);

const char* mpeg_error_text(int code);
