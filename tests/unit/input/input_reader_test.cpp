#include "input/input_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mpg123.h>
#include <stdlib.h>

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
        {INPUT_UNKNOWN, "x.ogg x. x .wav my.dir/track a.wav.bak"}};
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
        {"plain", riff(cat({kStereo48, chunk("data", kPcm)})), 1, kPcm, ""},
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
    // format chunk, data, 16-bit stereo samples delivered (none: refused), format byte 0
    // after the probe (from 0xA7)
    const std::tuple<Bytes, Bytes, std::vector<int16_t>, int> cases[] = {
        // clang-format off
        {fmt(1, 1, 44100, 16), cat({le(0x1234, 2), le(0xFFFE, 2)}), {0x1234, 0x1234, -2, -2}, 0xA4},
        {fmt(1, 2, 32000, 8), {0x00, 0xFF, 0x80, 0x81}, {-32768, 32512, 0, 256}, 0xA8},
        {fmt(1, 2, 48000, 24), cat({le(0x123456, 3), le(0x1234C0, 3), le(0xFFFFFF, 3), le(0x7FFFFF, 3), le(0x800000, 3), le(0xFFFE80, 3)}), {0x1234, 0x1235, 0, 32767, -32768, -1}, 0xA0},
        {fmt(1, 1, 48000, 24, 1), le(0x7FFF80, 3), {32767, 32767}, 0xA0},
        {fmt(1, 2, 48000, 32), cat({le(0x7FFFFFFF, 4), le(0x12348000, 4), le(0x80000000, 4), le(0xFFFF7FFF, 4)}), {32767, 0x1235, -32768, -1}, 0xA0},
        {fmt(3, 2, 48000, 32), cat({le(half, 4), le(one, 4), le(one | 1u << 31, 4), le(nan, 4)}), {16384, 32767, -32768, 0}, 0xA0},
        {fmt(3, 2, 48000, 32, 3), cat({le(two, 4), le(two | 1u << 31, 4)}), {32767, -32768}, 0xA0},
        {fmt(1, 2, 22050, 16), kPcm, {}, 0xA7},
        {fmt(1, 3, 48000, 16), Bytes(12, 0), {}, 0xA7},
        {fmt(2, 2, 48000, 16), kPcm, {}, 0xA7},
        {fmt(1, 2, 48000, 12), kPcm, {}, 0xA7},
        {fmt(3, 2, 48000, 64), Bytes(16, 0), {}, 0xA7},
        // clang-format on
    };
    for (const auto& [format, data, stereo, format_byte] : cases) {
        write_template.format[0] = 0xA7;
        Outcome r = run(riff(cat({format, chunk("data", data)})));
        std::vector<int16_t> samples;
        for (size_t i = 0; i + 1 < r.pcm.size(); i += 2)
            samples.push_back(int16_t(r.pcm[i] | r.pcm[i + 1] << 8));
        const bool refused = stereo.empty();
        EXPECT_EQ(std::tie(samples, r.opened, r.console, write_template.format[0]),
                  std::tuple(stereo, refused ? 0 : 1, refused ? "not supported file type\n" : "",
                             format_byte))
            << testing::PrintToString(format);
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
    // code in the template (-1: refused), a source as long as the decode, console
    const std::tuple<const char*, const char*, size_t, int, const char*, const char*> cases[] = {
        // clang-format off
        {"tagged.mp3", "tagged.mp3", 0, 1, "tone44.wav", ""},
        {"untagged.mp3", "untagged.mp3", 0, 1, nullptr, ""},
        {"tone48.mp2", "tone48.mp2", 0, 0, nullptr, ""},
        {"tone32.mpa", "tone32.mpa", 0, 2, nullptr, ""},
        {"mono.mp3", "mono.mp3", 0, 1, "mono44.wav", ""},
        {"truncated.mp3", "truncated.mp3", 0, 1, nullptr, ""},
        {"damaged.mp3", "untagged.mp3", 5, 1, nullptr, ".*/damaged.mp3: 5 damaged frames skipped\n"},
        {"low22.mp3", nullptr, 0, -1, nullptr, "not supported file type\n"},
        {"random.mp3", nullptr, 0, -1, nullptr, "cannot analyze file .*/random.mp3, \\(18\\) Error reading the stream.\n"},
        {"empty.mp3", nullptr, 0, -1, nullptr, "cannot analyze file .*/empty.mp3, \\(18\\) Error reading the stream.\n"},
        {"missing.mp3", nullptr, 0, -1, nullptr, "cannot analyze file .*/missing.mp3, \\(22\\) File access error.\n"},
        // clang-format on
    };
    for (const auto& [file, decodes_as, lost, rate_code, source, console] : cases) {
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
        EXPECT_TRUE(!source || r.pcm.size() == run_file(folder + source, kFrameRead).pcm.size());
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
