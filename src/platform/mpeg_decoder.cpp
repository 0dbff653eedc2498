#include "platform/mpeg_decoder.h"

#include <mpg123.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

struct MpegDecoder {
    mpg123_handle* handle;
};

namespace {

// A damaged stretch longer than libmpg123's default search window (1 KiB) would end the
// stream; search to the end of the file instead. Libmpg123's own warnings stay off the
// console: the input reader reports damage itself.
//
// The output is two channels of 16 bits, whatever the stream has, at whatever rate each
// frame has (a frame at another rate is never resampled, so the reader can tell it). The
// format is chosen as the first frame is read, so the table is filled before the file is
// opened. (mpg123_open_fixed would fill it too, but then stops at the first damage.)
int set_up(mpg123_handle* handle) {
    int result = mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    if (result == MPG123_OK) result = mpg123_param(handle, MPG123_RESYNC_LIMIT, -1, 0);
    if (result == MPG123_OK) result = mpg123_format_none(handle);
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count && result == MPG123_OK; ++i) {
        result = mpg123_format(handle, rates[i], MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    return result;
}

int last_error(mpg123_handle* handle, int result) {
    int code = mpg123_errcode(handle);
    return code != MPG123_OK ? code : result;
}

int32_t average_bit_rate(mpg123_handle* handle, const char* path, long rate) {
    if (mpg123_scan(handle) != MPG123_OK) return 0;
    off_t samples = mpg123_length(handle);
    std::error_code failed;
    uintmax_t bytes = std::filesystem::file_size(path, failed);
    if (failed || samples <= 0 || rate <= 0) return 0;
    return int32_t(double(bytes) * 8.0 * double(rate) / double(samples));
}

}  // namespace

int mpeg_decoder_create(MpegDecoder** decoder) {
    *decoder = nullptr;
    static const int initialised = mpg123_init();  // once; a no-op in current versions
    if (initialised != MPG123_OK) return initialised;
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (!handle) return error != MPG123_OK ? error : MPG123_ERR;
    int result = set_up(handle);
    if (result != MPG123_OK) {
        mpg123_delete(handle);
        return result;
    }
    *decoder = new MpegDecoder{handle};
    return MPG123_OK;
}

int mpeg_decoder_open(MpegDecoder* decoder, const char* path, bool measure, MpegStreamInfo* info) {
    mpg123_handle* handle = decoder->handle;
    int result = mpg123_open(handle, path);
    if (result != MPG123_OK) return last_error(handle, result);
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    result = mpg123_getformat(handle, &rate, &channels, &encoding);
    if (result != MPG123_OK) return last_error(handle, result);
    mpg123_frameinfo frame;
    result = mpg123_info(handle, &frame);
    if (result != MPG123_OK) return last_error(handle, result);
    info->channels = frame.mode == MPG123_M_MONO ? 1 : 2;
    info->sample_rate = int32_t(frame.rate);
    info->bit_rate = frame.bitrate * 1000;
    if (measure && frame.vbr != MPG123_CBR) info->bit_rate = average_bit_rate(handle, path, rate);
    return MPG123_OK;
}

int mpeg_decoder_next_frame(MpegDecoder* decoder, MpegFrame* frame, int* error) {
    mpg123_handle* handle = decoder->handle;
    for (;;) {
        off_t number = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        int result = mpg123_decode_frame(handle, &number, &audio, &bytes);
        if (result == MPG123_NEW_FORMAT) continue;
        if (result == MPG123_DONE) return 0;
        if (result != MPG123_OK) {
            *error = last_error(handle, result);
            return -1;
        }
        mpg123_frameinfo info;
        mpg123_info(handle, &info);
        frame->pcm = audio;
        frame->bytes = int32_t(bytes);
        frame->version = info.version;
        frame->layer = info.layer;
        frame->sample_rate = int32_t(info.rate);
        frame->channels = info.mode == MPG123_M_MONO ? 1 : 2;
        frame->position = mpg123_framepos(handle);
        frame->size = info.framesize;
        return 1;
    }
}

void mpeg_decoder_delete(MpegDecoder* decoder) {
    if (!decoder) return;
    mpg123_close(decoder->handle);
    mpg123_delete(decoder->handle);
    delete decoder;
}

// Libmpg123's texts end in " (code N)"; the console lines print the code themselves.
const char* mpeg_error_text(int code) {
    static char text[128];
    snprintf(text, sizeof text, "%s", mpg123_plain_strerror(code));
    char* suffix = strstr(text, " (code ");
    if (suffix) *suffix = '\0';
    return text;
}
