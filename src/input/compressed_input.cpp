#include "input/compressed_input.h"

#include <cstdio>
#include <string>

#include "input/pcm_queue.h"
#include "platform/mpeg_decoder.h"

namespace {

struct AcmInput {
    MpegDecoder* decoder;
    std::string name;
    bool ended;           // the stream ended or failed: later reads get nothing more
    int32_t sample_rate;  // of the stream as opened
    int32_t channels;
    bool have_frame;   // the fields below describe the last good frame
    MpegFrame stream;  // version and layer of the stream's first frame
    int64_t next_position;
    int32_t last_size;
    int64_t damaged_frames;
};

AcmInput acm;

bool fits_stream(const MpegFrame& frame) {
    if (frame.sample_rate != acm.sample_rate || frame.channels != acm.channels) return false;
    return !acm.have_frame ||
           (frame.version == acm.stream.version && frame.layer == acm.stream.layer);
}

void count_skipped_bytes(const MpegFrame& frame) {
    if (!acm.have_frame) {
        acm.stream = frame;
        acm.have_frame = true;
    } else if (frame.position > acm.next_position && acm.last_size > 0) {
        int64_t skipped = frame.position - acm.next_position;
        acm.damaged_frames += (skipped + acm.last_size - 1) / acm.last_size;
    }
    acm.next_position = frame.position + frame.size;
    acm.last_size = frame.size;
}

bool next_decoded_frame(const uint8_t** piece, int32_t* length) {
    while (!acm.ended) {
        MpegFrame frame;
        int error = 0;
        int result = mpeg_decoder_next_frame(acm.decoder, &frame, &error);
        if (result <= 0) {
            if (result < 0) printf("stream convert error %d %s\n", error, mpeg_error_text(error));
            acm.ended = true;
            break;
        }
        if (!fits_stream(frame)) continue;
        count_skipped_bytes(frame);
        if (frame.bytes == 0 || frame.bytes > kPcmPieceBytes) continue;
        *piece = frame.pcm;
        *length = frame.bytes;
        return true;
    }
    return false;
}

}  // namespace

bool analyze_compressed(const char* name, InputFormat* format, std::string* message) {
    char line[512];
    MpegDecoder* analyzer = nullptr;
    int result = mpeg_decoder_create(&analyzer);
    if (result != 0) {
        snprintf(line, sizeof line, "cannot create analyzer (%d) %s\n", result,
                 mpeg_error_text(result));
        *message = line;
        return false;
    }
    MpegStreamInfo info;
    result = mpeg_decoder_open(analyzer, name, true, &info);
    mpeg_decoder_delete(analyzer);
    if (result != 0) {
        *message = "cannot analyze file " + std::string(name) + ", (" + std::to_string(result) +
                   ") " + mpeg_error_text(result) + "\n";
        return false;
    }
    format->channels = info.channels;
    format->sample_rate = info.sample_rate;
    format->bit_rate = info.bit_rate;
    return true;
}

int acm_input_open(const char* name, const InputFormat& probed) {
    acm_input_close();
    pcm_queue_reset();
    acm.name = name;
    int result = mpeg_decoder_create(&acm.decoder);
    if (result != 0) {
        printf("cannot create decoder (%d) %s\n", result, mpeg_error_text(result));
        return 0;
    }
    MpegStreamInfo info;
    result = mpeg_decoder_open(acm.decoder, name, false, &info);
    if (result != 0) {
        printf("cannot open input file (%d) %s\n", result, mpeg_error_text(result));
        return 0;
    }
    if (info.sample_rate != probed.sample_rate || info.channels != probed.channels) {
        printf("cannot open input file: %s changed since it was analyzed\n", name);
        return 0;
    }
    acm.sample_rate = info.sample_rate;
    acm.channels = info.channels;
    return 1;
}

bool acm_input_next_piece(const uint8_t** piece, int32_t* length) {
    return acm.decoder && next_decoded_frame(piece, length);
}

int32_t acm_input_read(uint8_t* buffer, int32_t n) {
    if (n <= 0 || !acm.decoder) return 0;
    return pcm_queue_take(buffer, n, next_decoded_frame);
}

int acm_input_close() {
    if (acm.damaged_frames > 0) {
        printf("%s: %lld damaged frames skipped\n", acm.name.c_str(),
               (long long)acm.damaged_frames);
    }
    mpeg_decoder_delete(acm.decoder);
    acm = AcmInput{};
    return 1;
}
