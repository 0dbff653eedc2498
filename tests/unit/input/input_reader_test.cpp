#include "input/input_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mpg123.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "frame/subcode_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
    int opened;
    std::string console;
    Bytes pcm;
    std::vector<int32_t> counts;  // of every read, the final 0 included
};

// Probe, open, reads of n bytes until one returns 0, close. The buffer is exactly the
// n - 1 + 10000 bytes the reader may use, so the sanitizer catches a write past it.
Outcome run_file(const std::string& path, int32_t n) {
    testing::internal::CaptureStdout();
    Outcome r;
    input_probe(path.c_str());
    r.opened = input_open(path.c_str());
    std::vector<uint8_t> buffer(n - 1 + 10000);
    for (int32_t got = 1; got > 0 && r.counts.size() < 100000;) {
        got = input_read(buffer.data(), n);
        r.counts.push_back(got);
        r.pcm.insert(r.pcm.end(), buffer.begin(), buffer.begin() + got);
    }
    input_close();
    r.console = testing::internal::GetCapturedStdout();
    return r;
}

// The counts of reads that deliver total bytes n at a time: n, ..., the remainder, 0.
std::vector<int32_t> expected_counts(size_t total, int32_t n) {
    std::vector<int32_t> counts(total / n, n);
    if (total % n) counts.push_back(int32_t(total % n));
    counts.push_back(0);
    return counts;
}

Bytes le(uint64_t value, int bytes) {
    Bytes out;
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes chunk(const char* id, const Bytes& body, int64_t declared = -1) {
    Bytes out = cat({Bytes(id, id + 4), le(declared < 0 ? body.size() : declared, 4), body});
    if (body.size() % 2) out.push_back(0);
    return out;
}

Bytes riff(const Bytes& chunks, int64_t declared = -1) {
    return chunk("RIFF", cat({Bytes{'W', 'A', 'V', 'E'}, chunks}), declared);
}

// A format chunk; a subformat tag makes it the 40-byte extensible form.
Bytes fmt(uint16_t tag, int channels, uint32_t rate, int bits, uint16_t subformat = 0) {
    Bytes body = cat({le(subformat ? 0xFFFE : tag, 2), le(channels, 2), le(rate, 4),
                      le(rate * channels * bits / 8, 4), le(channels * bits / 8, 2), le(bits, 2)});
    if (!subformat) return chunk("fmt ", body);
    Bytes guid = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    return chunk("fmt ", cat({body, le(22, 2), le(bits, 2), le(3, 4), le(tag, 2), guid}));
}

const Bytes kStereo48 = fmt(1, 2, 48000, 16);
const Bytes kPcm = {1, 2, 3, 4, 5, 6, 7, 8};

// Each test writes a file of its own: ctest runs them side by side.
Outcome run(const Bytes& file, int32_t n = 6) {
    std::string path =
        testing::TempDir() + testing::UnitTest::GetInstance()->current_test_info()->name() + ".wav";
    std::ofstream(path, std::ios::binary).write((const char*)file.data(), file.size());
    return run_file(path, n);
}

TEST(InputKind, TheTextAfterTheLastDotInAnyCase) {
    const std::pair<InputKind, std::string> cases[] = {
        {INPUT_WAV, "a.wav A.Wav a.b.WAV"},
        {INPUT_COMPRESSED, "x.mp3 x.Mp2 x.mpa"},
        {INPUT_SOUND_FILE, "x.flac x.AIF x.aiff x.aifc x.w64 x.rf64 x.ogg x.oga x.opus"},
        {INPUT_UNKNOWN, "x. x .wav my.dir/track a.wav.bak"}};
    for (const auto& [kind, names] : cases) {
        std::istringstream list(names);
        for (std::string name; list >> name;) {
            input_probe(name.c_str());
            EXPECT_EQ(input_kind(), kind) << name;
        }
    }
}

TEST(WavInput, ChunkSearchRules) {
    // what, file, opened, PCM delivered, console
    const std::tuple<const char*, Bytes, int, Bytes, std::string> cases[] = {
        // clang-format off
        {"data before fmt", riff(cat({chunk("data", kPcm), kStereo48})), 1, kPcm, ""},
        {"chunk after data", riff(cat({kStereo48, chunk("data", kPcm), chunk("LIST", kPcm)})), 1, kPcm, ""},
        {"odd chunk padded", riff(cat({chunk("junk", {9, 9, 9}), kStereo48, chunk("data", kPcm)})), 1, kPcm, ""},
        {"extended fmt", riff(cat({fmt(1, 2, 48000, 16, 1), chunk("data", kPcm)})), 1, kPcm, ""},
        {"sizes past the end", riff(cat({kStereo48, chunk("data", kPcm, 999)}), 0xFFFFFFFF), 1, kPcm, ""},
        {"torn last frame", riff(cat({kStereo48, chunk("data", {1, 2, 3, 4, 5, 6})})), 1, {1, 2, 3, 4}, ""},
        {"other chunk first", cat({chunk("JUNK", kPcm), riff(cat({kStereo48, chunk("data", kPcm)}))}), 1, kPcm, ""},
        {"no data", riff(kStereo48), 0, {}, ""},
        {"no fmt", riff(chunk("data", kPcm)), 0, {}, "can't find fmt\n"},
        {"no riff", chunk("data", kPcm), 0, {}, "can't find riff\n"},
        // clang-format on
    };
    for (const auto& [what, file, opened, pcm, console] : cases) {
        Outcome r = run(file);
        EXPECT_EQ(std::tie(r.opened, r.pcm, r.console, r.counts),
                  std::tuple(opened, pcm, console, expected_counts(pcm.size(), 6)))
            << what;
    }
    EXPECT_EQ(run_file(testing::TempDir() + "missing/in.wav", 6).console, "error opening file\n");
}

TEST(WavInput, ConvertsTo16BitStereoOrRefuses) {
    const uint32_t nan = 0x7FC00000, one = 0x3F800000, half = 0x3F000000, two = 0x40000000;
    // format chunk, data, 16-bit stereo samples delivered (none: refused; more than 16 bits:
    // dithered, within one step), format byte 0 after the probe (from 0xA7), console
    const std::tuple<Bytes, Bytes, std::vector<int16_t>, int, const char*> cases[] = {
        // clang-format off
        {fmt(1, 1, 44100, 16), cat({le(0x1234, 2), le(0xFFFE, 2)}), {0x1234, 0x1234, -2, -2}, 0xA4, ""},
        {fmt(1, 2, 32000, 8), {0x00, 0xFF, 0x80, 0x81}, {-32768, 32512, 0, 256}, 0xA8, ""},
        {fmt(1, 2, 48000, 24), cat({le(0x123456, 3), le(0x1234C0, 3), le(0xFFFFFF, 3), le(0x7FFFFF, 3), le(0x800000, 3), le(0xFFFE80, 3)}), {0x1234, 0x1235, 0, 32767, -32768, -1}, 0xA0, ""},
        {fmt(1, 1, 48000, 24, 1), le(0x7FFF80, 3), {32767, 32767}, 0xA0, ""},
        {fmt(1, 2, 48000, 32), cat({le(0x7FFFFFFF, 4), le(0x12348000, 4), le(0x80000000, 4), le(0xFFFF7FFF, 4)}), {32767, 0x1235, -32768, -1}, 0xA0, ""},
        {fmt(3, 2, 48000, 32), cat({le(half, 4), le(one, 4), le(one | 1u << 31, 4), le(nan, 4)}), {16384, 32767, -32768, 0}, 0xA0, ""},
        {fmt(3, 2, 48000, 32, 3), cat({le(two, 4), le(two | 1u << 31, 4)}), {32767, -32768}, 0xA0, ".*: 2 samples beyond full scale clipped\n"},
        {fmt(1, 3, 48000, 16), Bytes(12, 0), {}, 0xA7, "not supported file type: 3 channels, the tape carries one or two\n"},
        {fmt(2, 2, 48000, 16), kPcm, {}, 0xA7, "not supported file type\n"},
        {fmt(1, 2, 48000, 12), kPcm, {513, 1027, 1541, 2055}, 0xA0, ""},
        {fmt(3, 2, 48000, 64), cat({le(0x3FE0000000000000, 8), le(0xBFE0000000000000, 8)}), {16384, -16384}, 0xA0, ""},
        {fmt(1, 2, 1593857570, 8), kPcm, {}, 0xA7, "not supported file type: 1593857570 Hz\n"},
        {fmt(1, 2, 800000000, 20), kPcm, {}, 0xA7, "not supported file type: 800000000 Hz\n"},
        // clang-format on
    };
    for (const auto& [format, data, stereo, format_byte, console] : cases) {
        write_template.format[0] = 0xA7;
        Outcome r = run(riff(cat({format, chunk("data", data)})));
        bool close = r.pcm.size() == 2 * stereo.size();
        const int dither = format.size() > 24 || format[22] > 16 ? 1 : 0;
        for (size_t i = 0; close && i < stereo.size(); ++i)
            close = abs(int16_t(r.pcm[2 * i] | r.pcm[2 * i + 1] << 8) - stereo[i]) <= dither;
        EXPECT_TRUE(close && r.opened == !stereo.empty() && write_template.format[0] == format_byte)
            << testing::PrintToString(format) << testing::PrintToString(r.pcm);
        EXPECT_THAT(r.console, testing::MatchesRegex(console));
    }
}

constexpr int32_t kFrameRead = 5760;
constexpr size_t kLayer3FrameBytes = 1152 * 4;

std::string make_fixtures() {
    std::string folder = testing::TempDir() + "mpeg_XXXXXX";
    if (!mkdtemp(folder.data())) return "";
    EXPECT_EQ(system(("python3 " FIXTURE_SCRIPT " " + folder).c_str()), 0);
    return folder + "/";
}

// Libmpg123's own decode of the whole file in one go.
Bytes whole_file_decode(const std::string& path) {
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_open_fixed(handle, path.c_str(), MPG123_STEREO, MPG123_ENC_SIGNED_16);
    Bytes pcm, chunk(1 << 16);
    int result = MPG123_OK;
    for (size_t done = 0; result == MPG123_OK || result == MPG123_NEW_FORMAT;) {
        result = mpg123_read(handle, chunk.data(), chunk.size(), &done);
        pcm.insert(pcm.end(), chunk.begin(), chunk.begin() + done);
    }
    mpg123_delete(handle);
    return pcm;
}

TEST(MpegInput, FilesAndExpectations) {
    const std::string folder = make_fixtures();
    // file, the file whose own decode it gives (less the frames lost), frames lost, rate
    // code in the template (-1: refused), console
    const std::tuple<const char*, const char*, size_t, int, const char*> cases[] = {
        // clang-format off
        {"tagged.mp3", "tagged.mp3", 0, 1, ""},
        {"untagged.mp3", "untagged.mp3", 0, 1, ""},
        {"tone48.mp2", "tone48.mp2", 0, 0, ""},
        {"tone32.mpa", "tone32.mpa", 0, 2, ""},
        {"mono.mp3", "mono.mp3", 0, 1, ""},
        {"truncated.mp3", "truncated.mp3", 0, 1, ""},
        {"damaged.mp3", "untagged.mp3", 5, 1, ".*/damaged.mp3: 5 damaged frames skipped\n"},
        {"random.mp3", nullptr, 0, -1, "cannot analyze file .*/random.mp3, \\(18\\) Error reading the stream.\n"},
        {"empty.mp3", nullptr, 0, -1, "cannot analyze file .*/empty.mp3, \\(18\\) Error reading the stream.\n"},
        {"missing.mp3", nullptr, 0, -1, "cannot analyze file .*/missing.mp3, \\(22\\) File access error.\n"},
        // clang-format on
    };
    for (const auto& [file, decodes_as, lost, rate_code, console] : cases) {
        write_template.format[0] = 0xA7;
        Outcome r = run_file(folder + file, kFrameRead);
        Bytes model = decodes_as ? whole_file_decode(folder + decodes_as) : Bytes();
        size_t length = model.size() - lost * kLayer3FrameBytes;  // no noise for what was lost
        EXPECT_EQ(std::tie(r.opened, write_template.format[0], r.counts),
                  std::tuple(decodes_as ? 1 : 0, rate_code < 0 ? 0xA7 : 0xA0 | rate_code << 2,
                             expected_counts(length, kFrameRead)))
            << file;
        EXPECT_THAT(r.console, testing::MatchesRegex(console)) << file;
        EXPECT_TRUE(lost || r.pcm == model) << file;
    }
    std::filesystem::remove_all(folder);
}

// A 1 kHz tone at -6 dBFS, with a tone above the tape's Nyquist frequency at -12 dBFS
// that resampling must not fold back, written through libsndfile.
std::vector<double> write_sound(const std::string& path, int format, int rate, int channels,
                                double seconds, double beyond) {
    std::vector<double> samples;
    for (int64_t n = 0; n < int64_t(rate * seconds); ++n) {
        double t = double(n) / rate;
        double x =
            0.5 * sin(2 * M_PI * 1000 * t) + (beyond > 0) * 0.25 * sin(2 * M_PI * beyond * t);
        samples.insert(samples.end(), size_t(channels), n < 10 && beyond < 0 ? 2.0 : x);
    }
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return samples;
    sf_writef_double(file, samples.data(), sf_count_t(samples.size() / size_t(channels)));
    sf_close(file);
    return samples;
}

// The output less the 1 kHz tone fitted to its middle (edges of the resampler and the
// over-range start left out): the tone's level and the error's mean and power in
// 16-bit steps squared. TPDF dither with rounding gives a mean of 0 and a power of 1/4;
// truncation, plain rounding, a folded-back tone or a wrong rate cannot.
std::tuple<double, double, double> tone_error(const Bytes& pcm, int rate) {
    const size_t count = pcm.size() / 2, begin = count / 4, end = 3 * count / 4;
    auto at = [&](size_t i) { return double(int16_t(pcm[2 * i] | pcm[2 * i + 1] << 8)); };
    double s = 0, c = 0;
    for (size_t i = begin; i < end; ++i) {
        double w = 2 * M_PI * 1000 * double(i / 2) / rate;
        s += at(i) * sin(w) * 2 / double(end - begin);
        c += at(i) * cos(w) * 2 / double(end - begin);
    }
    double mean = 0, power = 0;
    for (size_t i = begin; i < end; ++i) {
        double w = 2 * M_PI * 1000 * double(i / 2) / rate;
        double e = at(i) - s * sin(w) - c * cos(w);
        mean += e / double(end - begin);
        power += e * e / double(end - begin);
    }
    return {20 * log10(hypot(s, c) / 16384), mean, power};
}

TEST(SoundFileInput, SourcesAndWhatTheTapeGets) {
    const std::string folder = testing::TempDir();
    enum Check { EXACT, TONE, LENGTH, REFUSED };
    // file, libsndfile format, rate, channels, seconds, tone above Nyquist (-1: ten
    // over-range frames first), rate forced, conversion named, tape rate, check, console
    const std::tuple<const char*, int, int, int, double, double, int, const char*, int, Check,
                     const char*>
        cases[] = {
            // clang-format off
        {"plain.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, 1, 0, 0, "", 48000, EXACT, ""},
        {"master.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, 2, 2, 30000, 0, " (96000 Hz, 24 bit, 2 ch) -> 48000 Hz 16 bit, resampled, dithered", 48000, TONE, ""},
        {"master.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 88200, 2, 1, 25000, 0, " (88200 Hz, 24 bit, 2 ch) -> 44100 Hz 16 bit, resampled, dithered", 44100, TONE, ""},
        {"deep.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000, 2, 1, 0, 0, " (48000 Hz, 24 bit, 2 ch) -> 48000 Hz 16 bit, dithered", 48000, TONE, ""},
        {"mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, 2, 0, 0, " (22050 Hz, 16 bit, 1 ch) -> 44100 Hz 16 bit, mono on both channels, resampled, dithered", 44100, TONE, ""},
        {"float.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 48000, 2, 2, -1, 0, " (48000 Hz, 32 bit float, 2 ch) -> 48000 Hz 16 bit, dithered", 48000, TONE, ".*float.w64: 20 samples beyond full scale clipped\n"},
        {"forced.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 48000, 2, 1, 0, 32000, " (48000 Hz, 16 bit, 2 ch) -> 32000 Hz 16 bit, resampled, dithered", 32000, TONE, ""},
        {"low.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 24000, 1, 1, 0, 0, " (24000 Hz, MPEG, 1 ch) -> 48000 Hz 16 bit, mono on both channels, resampled, dithered", 48000, LENGTH, ""},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, 1, 0, 0, " (44100 Hz, Vorbis, 2 ch) -> 44100 Hz 16 bit, dithered", 44100, LENGTH, ""},
        {"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, 2, 0, 0, "", 48000, LENGTH, ".*cut.flac: the file ends after [0-9]+ of its 96000 sample frames\n"},
        {"six.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 6, 1, 0, 0, "", 0, REFUSED, "not supported file type: 6 channels, the tape carries one or two\n"},
        {"random.flac", 0, 48000, 2, 1, 0, 0, "", 0, REFUSED, "cannot open .*random.flac: Format not recognised.\n"},
            // clang-format on
        };
    for (const auto& [file, format, rate, channels, seconds, beyond, forced, conversion, tape_rate,
                      check, console] : cases) {
        const std::string path = folder + file;
        std::vector<double> samples = write_sound(path, format, rate, channels, seconds, beyond);
        if (!format) std::ofstream(path) << std::string(5000, 'Z');
        if (!strcmp(file, "cut.flac"))
            std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
        input_force_rate(forced);
        Outcome r = run_file(path, 5760);
        input_probe(path.c_str());
        input_force_rate(0);
        EXPECT_EQ(input_conversion(), conversion) << file;
        EXPECT_THAT(r.console, testing::MatchesRegex(console)) << file;
        EXPECT_EQ(r.opened, check != REFUSED) << file;
        const size_t frames = size_t(double(samples.size() / channels) * tape_rate / rate);
        const bool timed = check == TONE || (check == LENGTH && strcmp(file, "cut.flac"));
        EXPECT_TRUE(!timed || abs(double(r.pcm.size() / 4) - double(frames)) <= 1) << file;
        // 16 bits at a tape rate reach the tape bit for bit
        std::vector<int16_t> source(samples.size());
        SF_INFO info{};
        SNDFILE* back = check == EXACT ? sf_open(path.c_str(), SFM_READ, &info) : nullptr;
        EXPECT_TRUE(!back || (sf_readf_short(back, source.data(), info.frames) == info.frames &&
                              r.pcm == Bytes((uint8_t*)source.data(), (uint8_t*)&*source.end())));
        sf_close(back);
        if (check != TONE) continue;
        auto [level, mean, power] = tone_error(r.pcm, tape_rate);
        // A 16-bit source brings its own rounding, 1/12 of a step squared.
        double floor = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 1.0 / 3 : 0.25;
        EXPECT_TRUE(abs(level) < 0.1 && abs(mean) < 0.05 && abs(power - floor) < 0.02)
            << file << ": level " << level << " dB, error mean " << mean << ", power " << power;
    }
}

}  // namespace
