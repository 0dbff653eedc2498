#include "input/input_reader.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "frame/subcode_writer.h"
#include "input/compressed_input.h"
#include "input/conversion.h"
#include "input/pcm_queue.h"
#include "input/riff_reader.h"
#include "input/wav_format.h"
#include "platform/sound_file.h"

namespace {

constexpr uint8_t kKeepHighBits = 0xF0;  // format byte 0 bits 7-4 belong to the recording
constexpr int32_t kMostFrameBytes = 8;   // two channels of 32 bits
// Rates outside these bounds are no audio we know how to resample.
constexpr int32_t kLowestRate = 1000;
constexpr int32_t kHighestRate = 768000;

enum InputRoute { ROUTE_NONE, ROUTE_WAV, ROUTE_MPEG, ROUTE_SOUND_FILE };

// The file as the probe found it, and what becomes of it.
struct Source {
    int32_t rate;
    int32_t channels;
    int32_t bits;       // 0 for a compressed coding
    std::string depth;  // "24 bit", "32 bit float", "Vorbis", ...
    bool whole_16_bit;  // the samples are 16-bit values already (8- and 16-bit, MPEG)
    int32_t tape_rate;
    bool dither;
};

struct InputReader {
    std::string extension;  // upper-cased
    InputKind kind;
    InputRoute route;
    bool accepted;  // the last probe found a format the tape can carry
    int32_t forced_rate;
    Source source;
    WavFormat probed;
    std::string name;  // of the open file
    bool straight;     // 16-bit stereo WAV at a tape rate: copied as it stands
    bool converting;
    bool compressed_open;
    FILE* wav;
    WavFormat format;     // of the open WAV file
    uint64_t data_limit;  // data chunk bytes in whole sample frames
    uint64_t data_read;
    SoundFile* sound;
    int64_t sound_frames;  // the header's count
    int64_t sound_read;
    bool sound_ended;
    uint8_t raw[kBlockFrames * kMostFrameBytes];
    char file_buffer[1 << 18];
    float block[kBlockFrames * 2];
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
    for (const char* known : {"FLAC", "AIF", "AIFF", "AIFC", "W64", "RF64", "OGG", "OGA", "OPUS"}) {
        if (extension == known) return INPUT_SOUND_FILE;
    }
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

int32_t tape_rate_for(int32_t rate) {
    if (reader.forced_rate != 0) return reader.forced_rate;
    if (rate_code_of(rate) >= 0) return rate;
    return rate % 11025 == 0 ? 44100 : 48000;
}

std::string plain_depth(int32_t bits, bool is_float) {
    return std::to_string(bits) + (is_float ? " bit float" : " bit");
}

// Accepts a source the tape can carry after conversion: writes its codes and decides
// its conversion. Else the line that says why not. A coded_bit_rate is a compressed
// coding's; PCM's follows from bits and rate, only once the rate is known to be sane (a
// header's rate may be anything up to 4 GHz).
bool accept(InputRoute route, const Source& source, int32_t coded_bit_rate, std::string* notes) {
    if (source.channels < 1 || source.channels > 2) {
        *notes += "not supported file type: " + std::to_string(source.channels) +
                  " channels, the tape carries one or two\n";
        return false;
    }
    if (source.rate < kLowestRate || source.rate > kHighestRate) {
        *notes += "not supported file type: " + std::to_string(source.rate) + " Hz\n";
        return false;
    }
    Source& s = reader.source;
    s = source;
    s.tape_rate = tape_rate_for(source.rate);
    s.dither = s.tape_rate != s.rate || !s.whole_16_bit;
    input_set_format(s.tape_rate, s.channels);
    reader.route = route;
    reader.accepted = true;
    const int32_t bit_rate = source.bits > 0 ? source.bits * source.rate : coded_bit_rate;
    found = InputFormat{source.channels, source.rate, bit_rate};
    return true;
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

void examine_mpeg(const char* name, std::string* notes) {
    InputFormat format;
    if (!analyze_compressed(name, &format, notes)) return;
    accept(ROUTE_MPEG, Source{format.sample_rate, format.channels, 0, "MPEG", true, 0, false},
           format.bit_rate, notes);
}

// libsndfile tells the format by the content. Quiet: a failure adds no line.
bool examine_sound_file(const char* name, bool quiet, std::string* notes) {
    SoundFile* file = nullptr;
    SoundFileInfo info;
    std::string error;
    if (sound_file_open(name, &file, &info, &error) != 0) {
        if (!quiet) *notes += "cannot open " + std::string(name) + ": " + error + "\n";
        return false;
    }
    sound_file_close(file);
    if (info.mpeg) {  // whatever its name: our own MPEG decoder is gapless
        examine_mpeg(name, notes);
        return true;
    }
    Source source{info.sample_rate, info.channels, info.bits, info.coding_name, false, 0, false};
    if (info.coding != SOUND_COMPRESSED) {
        source.depth = plain_depth(info.bits, info.coding == SOUND_FLOAT);
    }
    source.whole_16_bit = info.coding == SOUND_INTEGER && info.bits <= 16;
    accept(ROUTE_SOUND_FILE, source, 0, notes);
    return true;
}

// A WAV file our reader refuses for its coding, or that holds no RIFF form, goes to
// libsndfile before it is refused.
void examine_wav(const char* name, std::string* notes) {
    FILE* file = fopen(name, "rb");
    if (!file) return;  // input_open says so
    RiffChunk riff;
    WavFormat format{};
    bool read = riff_find_form(file, &riff) && read_format_chunk(file, riff, &format);
    fclose(file);
    if (read && format.coding != CODING_UNSUPPORTED) {
        reader.probed = format;
        bool is_float = format.coding == CODING_FLOAT;
        Source source{format.sample_rate,
                      format.channels,
                      format.bits_per_sample,
                      plain_depth(format.bits_per_sample, is_float),
                      !is_float && format.bits_per_sample <= 16,
                      0,
                      false};
        accept(ROUTE_WAV, source, 0, notes);
        return;
    }
    if (examine_sound_file(name, true, notes)) return;
    if (read) *notes += "not supported file type\n";
}

bool same_format(const WavFormat& a, const WavFormat& b) {
    return a.channels == b.channels && a.sample_rate == b.sample_rate &&
           a.bits_per_sample == b.bits_per_sample && a.coding == b.coding;
}

// The probe of this file must have accepted the very format found here, for the codes it
// wrote into the template to be this file's.
int open_wav(const char* name) {
    reader.wav = fopen(name, "rb");
    if (!reader.wav) {
        printf("error opening file\n");
        return 0;
    }
    // Reads of one frame each would cost a system call apiece.
    setvbuf(reader.wav, reader.file_buffer, _IOFBF, sizeof reader.file_buffer);
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
    if (!reader.accepted || reader.route != ROUTE_WAV) return 0;
    if (!same_format(reader.format, reader.probed)) return 0;
    if (fseek(reader.wav, long(data.offset), SEEK_SET) != 0) return 0;
    uint64_t frame_bytes = uint64_t(wav_frame_bytes(reader.format));
    reader.data_limit = data.size - data.size % frame_bytes;  // a torn last frame is no audio
    return 1;
}

bool next_wav_block(const float** block, int32_t* frames) {
    const int32_t frame_bytes = wav_frame_bytes(reader.format);
    uint64_t count = (reader.data_limit - reader.data_read) / uint64_t(frame_bytes);
    if (count > uint64_t(kBlockFrames)) count = kBlockFrames;
    if (count == 0) return false;
    size_t got = fread(reader.raw, size_t(frame_bytes), size_t(count), reader.wav);
    if (got == 0) return false;  // a read error ends the file like its end does
    reader.data_read += got * uint64_t(frame_bytes);
    wav_to_stereo_float(reader.format, reader.raw, int32_t(got), reader.block);
    *block = reader.block;
    *frames = int32_t(got);
    return true;
}

// 16-bit stereo at a tape rate is what the tape carries: the bytes go straight to the
// caller, in whole sample frames.
int32_t read_straight(uint8_t* buffer, int32_t n) {
    uint64_t left = reader.data_limit - reader.data_read;
    size_t want = uint64_t(n) < left ? size_t(n) : size_t(left);
    size_t got = want ? fread(buffer, 1, want, reader.wav) : 0;
    reader.data_read += got;
    return int32_t(got);
}

bool next_mpeg_block(const float** block, int32_t* frames) {
    const uint8_t* piece = nullptr;
    int32_t length = 0;
    if (!acm_input_next_piece(&piece, &length)) return false;
    const int32_t samples = length / 2;
    for (int32_t i = 0; i < samples; ++i) {
        reader.block[i] = float(int16_t(uint16_t(piece[2 * i] | piece[2 * i + 1] << 8)));
    }
    *block = reader.block;
    *frames = samples / 2;
    return *frames > 0;
}

bool next_sound_block(const float** block, int32_t* frames) {
    const int32_t channels = reader.source.channels;
    int64_t got = sound_file_read(reader.sound, reader.block, kBlockFrames);
    if (got <= 0) {
        reader.sound_ended = true;
        return false;
    }
    reader.sound_read += got;
    for (int64_t i = got * channels; i-- > 0;) reader.block[i] *= 32768.0f;
    for (int64_t i = got; channels == 1 && i-- > 0;) {  // from the end: mono on both channels
        reader.block[2 * i] = reader.block[2 * i + 1] = reader.block[i];
    }
    *block = reader.block;
    *frames = int32_t(got);
    return true;
}

int open_sound_file(const char* name) {
    SoundFileInfo info;
    std::string error;
    if (sound_file_open(name, &reader.sound, &info, &error) != 0) {
        printf("cannot open %s: %s\n", name, error.c_str());
        return 0;
    }
    if (info.sample_rate != reader.source.rate || info.channels != reader.source.channels) {
        printf("cannot open input file: %s changed since it was examined\n", name);
        return 0;
    }
    reader.sound_frames = info.frames;
    return 1;
}

int start_conversion(FloatSource source) {
    const Source& s = reader.source;
    std::string error;
    if (!conversion_start(ConversionPlan{s.rate, s.tape_rate, s.dither}, source, &error)) {
        printf("cannot resample from %d to %d Hz: %s\n", s.rate, s.tape_rate, error.c_str());
        return 0;
    }
    reader.converting = true;
    return 1;
}

int open_accepted(const char* name) {
    const Source& s = reader.source;
    switch (reader.route) {
        case ROUTE_WAV:
            if (!open_wav(name)) return 0;
            reader.straight = s.channels == 2 && reader.format.bits_per_sample == 16 &&
                              reader.format.coding == CODING_INTEGER && s.tape_rate == s.rate;
            return reader.straight ? 1 : start_conversion(next_wav_block);
        case ROUTE_MPEG:
            reader.compressed_open = true;
            if (!acm_input_open(name, found)) return 0;
            return s.tape_rate == s.rate ? 1 : start_conversion(next_mpeg_block);
        case ROUTE_SOUND_FILE:
            return open_sound_file(name) ? start_conversion(next_sound_block) : 0;
        default:
            return 0;
    }
}

void report_losses() {
    const char* name = reader.name.c_str();
    int64_t clipped = reader.converting ? conversion_clipped() : 0;
    if (clipped > 0) {
        printf("%s: %lld samples beyond full scale clipped\n", name, (long long)clipped);
    }
    if (reader.sound && reader.sound_ended && reader.sound_read < reader.sound_frames) {
        printf("%s: the file ends after %lld of its %lld sample frames\n", name,
               (long long)reader.sound_read, (long long)reader.sound_frames);
    }
}

}  // namespace

void input_force_rate(int32_t rate) {
    reader.forced_rate = rate_code_of(rate) >= 0 ? rate : 0;
}

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

std::string input_examine(const char* name) {
    reader.extension = extension_of(name);
    reader.kind = kind_of(reader.extension);
    reader.route = ROUTE_NONE;
    reader.accepted = false;
    std::string notes;
    switch (reader.kind) {
        case INPUT_WAV:
            examine_wav(name, &notes);
            break;
        case INPUT_COMPRESSED:
            examine_mpeg(name, &notes);
            break;
        default:
            examine_sound_file(name, false, &notes);
    }
    return notes;
}

void input_probe(const char* name) {
    printf("%s", input_examine(name).c_str());
}

std::string input_conversion() {
    if (!reader.accepted) return "";
    const Source& s = reader.source;
    std::string steps;
    if (s.channels == 1) steps += ", mono on both channels";
    if (s.tape_rate != s.rate) steps += ", resampled";
    if (s.bits == 8) steps += ", widened";
    if (s.dither) steps += ", dithered";
    if (steps.empty()) return "";
    char line[160];
    snprintf(line, sizeof line, " (%d Hz, %s, %d ch) -> %d Hz 16 bit", s.rate, s.depth.c_str(),
             s.channels, s.tape_rate);
    return line + steps;
}

int input_open(const char* name) {
    input_close();
    reader.name = name;
    // A WAV file nobody could read still gets its reason from our reader.
    if (reader.kind == INPUT_WAV && reader.route == ROUTE_NONE) return open_wav(name);
    if (!reader.accepted) return 0;
    return open_accepted(name);
}

int32_t input_read(uint8_t* buffer, int32_t n) {
    if (n <= 0) return 0;
    if (reader.straight) return read_straight(buffer, n);
    if (reader.converting) return pcm_queue_take(buffer, n, conversion_next_piece);
    if (reader.compressed_open) return acm_input_read(buffer, n);
    return 0;
}

int input_close() {
    report_losses();
    conversion_end();
    if (reader.wav) fclose(reader.wav);
    if (reader.compressed_open) acm_input_close();
    sound_file_close(reader.sound);
    reader.wav = nullptr;
    reader.sound = nullptr;
    reader.compressed_open = reader.converting = reader.straight = reader.sound_ended = false;
    reader.data_limit = reader.data_read = 0;
    reader.sound_frames = reader.sound_read = 0;
    pcm_queue_reset();
    return 0;
}

InputKind input_kind() {
    return reader.kind;
}

const InputFormat& input_format() {
    return found;
}
