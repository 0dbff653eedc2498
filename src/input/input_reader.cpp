#include "input/input_reader.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/subcode_writer.h"
#include "input/compressed_input.h"
#include "input/pcm_queue.h"
#include "input/riff_reader.h"
#include "input/wav_format.h"

namespace {

constexpr uint8_t kKeepHighBits = 0xF0;  // format byte 0 bits 7-4 belong to the recording
constexpr int32_t kBlockFrames = kPcmPieceBytes / 4;
constexpr int32_t kMostFrameBytes = 8;  // two channels of 32 bits

struct InputReader {
    std::string extension;  // upper-cased
    InputKind kind;
    bool accepted;  // the last probe found a format the tape can carry
    bool compressed_open;
    WavFormat probed;
    FILE* wav;
    WavFormat format;     // of the open WAV file
    uint64_t data_limit;  // data chunk bytes in whole sample frames
    uint64_t data_read;
    uint8_t raw[kBlockFrames * kMostFrameBytes];
    uint8_t pcm[kPcmPieceBytes];
};

InputReader reader;
InputFormat found;

std::string extension_of(const char* name) {
    size_t length = strlen(name);
    for (size_t i = length; i-- > 1;) {
        if (name[i] != '.') continue;
        std::string extension(name + i + 1);
        for (char& c : extension) c = char(toupper(static_cast<unsigned char>(c)));
        return extension;
    }
    return "";
}

InputKind kind_of(const std::string& extension) {
    if (extension == "MP3" || extension == "MP2" || extension == "MPA") return INPUT_COMPRESSED;
    if (extension == "WAV") return INPUT_WAV;
    return INPUT_UNKNOWN;
}

int rate_code_of(int32_t sample_rate) {
    switch (sample_rate) {
        case 48000:
            return 0;
        case 44100:
            return 1;
        case 32000:
            return 2;
        default:
            return -1;
    }
}

bool same_format(const WavFormat& a, const WavFormat& b) {
    return a.channels == b.channels && a.sample_rate == b.sample_rate &&
           a.bits_per_sample == b.bits_per_sample && a.coding == b.coding;
}

bool read_format_chunk(FILE* file, const RiffChunk& riff, WavFormat* format) {
    RiffChunk chunk;
    if (!riff_find_chunk(file, riff, riff_fourcc("fmt "), &chunk)) return false;
    uint8_t bytes[kWavFormatBytes];
    size_t want = chunk.size < sizeof bytes ? size_t(chunk.size) : sizeof bytes;
    if (fseek(file, long(chunk.offset), SEEK_SET) != 0) return false;
    size_t got = fread(bytes, 1, want, file);
    if (got == 0) return false;
    *format = parse_wav_format(bytes, got);
    return true;
}

void probe_wav(const char* name) {
    FILE* file = fopen(name, "rb");
    if (!file) return;
    RiffChunk riff;
    WavFormat format;
    bool read = riff_find_form(file, &riff) && read_format_chunk(file, riff, &format);
    fclose(file);
    if (!read) return;
    if (format.coding == CODING_UNSUPPORTED) {
        printf("not supported file type\n");
        return;
    }
    if (!input_set_format(format.sample_rate, format.channels)) return;
    reader.accepted = true;
    reader.probed = format;
    found.channels = format.channels;
    found.sample_rate = format.sample_rate;
    found.bit_rate = format.bits_per_sample * format.sample_rate;
}

// The probe of this file must have accepted the very format found here, for the codes it
// wrote into the template to be this file's.
int open_wav(const char* name) {
    reader.wav = fopen(name, "rb");
    if (!reader.wav) {
        printf("error opening file\n");
        return 0;
    }
    RiffChunk riff;
    if (!riff_find_form(reader.wav, &riff)) {
        printf("can't find riff\n");
        return 0;
    }
    if (!read_format_chunk(reader.wav, riff, &reader.format)) {
        printf("can't find fmt\n");
        return 0;
    }
    RiffChunk data;
    if (!riff_find_chunk(reader.wav, riff, riff_fourcc("data"), &data)) return 0;
    if (!reader.accepted || !same_format(reader.format, reader.probed)) return 0;
    if (fseek(reader.wav, long(data.offset), SEEK_SET) != 0) return 0;
    uint64_t frame_bytes = uint64_t(wav_frame_bytes(reader.format));
    reader.data_limit = data.size - data.size % frame_bytes;  // a torn last frame is no audio
    return 1;
}

bool next_wav_block(const uint8_t** piece, int32_t* length) {
    const int32_t frame_bytes = wav_frame_bytes(reader.format);
    uint64_t frames = (reader.data_limit - reader.data_read) / uint64_t(frame_bytes);
    if (frames > uint64_t(kBlockFrames)) frames = kBlockFrames;
    if (frames == 0) return false;
    size_t got = fread(reader.raw, size_t(frame_bytes), size_t(frames), reader.wav);
    if (got == 0) return false;  // a read error ends the file like its end does
    reader.data_read += got * uint64_t(frame_bytes);
    convert_to_stereo16(reader.format, reader.raw, int32_t(got), reader.pcm);
    *piece = reader.pcm;
    *length = int32_t(got) * 4;
    return true;
}

void probe_compressed(const char* name) {
    InputFormat format;
    if (!analyze_compressed(name, &format)) return;
    if (!input_set_format(format.sample_rate, format.channels)) return;
    reader.accepted = true;
    found = format;
}

}  // namespace

int input_set_format(int32_t sample_rate, int32_t channels) {
    int rate_code = rate_code_of(sample_rate);
    if (rate_code < 0 || channels < 1 || channels > 2) {
        printf("not supported file type\n");
        return 0;
    }
    // Channel code 00 in every case: mono files are delivered on both channels, and the
    // four-channel code would make a player expect a recording we never make.
    uint8_t& byte = write_template.format[0];
    byte = uint8_t((byte & kKeepHighBits) | rate_code << 2);
    return 1;
}

void input_probe(const char* name) {
    reader.extension = extension_of(name);
    reader.kind = kind_of(reader.extension);
    reader.accepted = false;
    if (reader.kind == INPUT_WAV) probe_wav(name);
    if (reader.kind == INPUT_COMPRESSED) probe_compressed(name);
}

int input_open(const char* name) {
    input_close();
    reader.data_limit = 0;
    reader.data_read = 0;
    switch (reader.kind) {
        case INPUT_WAV:
            return open_wav(name);
        case INPUT_COMPRESSED:
            // The probe of this name has analysed the file and printed why it refused it.
            if (!reader.accepted) return 0;
            reader.compressed_open = true;
            return acm_input_open(name, found);
        default:
            return 0;
    }
}

int32_t input_read(uint8_t* buffer, int32_t n) {
    if (reader.compressed_open) return acm_input_read(buffer, n);
    if (n <= 0 || !reader.wav) return 0;
    return pcm_queue_take(buffer, n, next_wav_block);
}

int input_close() {
    if (reader.wav) fclose(reader.wav);
    reader.wav = nullptr;
    if (reader.compressed_open) acm_input_close();
    reader.compressed_open = false;
    pcm_queue_reset();
    return 0;
}

InputKind input_kind() {
    return reader.kind;
}

const InputFormat& input_format() {
    return found;
}
