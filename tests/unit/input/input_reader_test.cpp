#include "input/input_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frame/subcode_writer.h"
#include "unit/input/input_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

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

Outcome run(const Bytes& file, int32_t n = 6, const char* name = "in.wav") {
    std::string path = testing::TempDir() + name;
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
    const struct {
        const char* what;
        Bytes file;
        int opened;
        Bytes pcm;
        const char* console;
    } cases[] = {
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
    for (const auto& c : cases) {
        Outcome r = run(c.file);
        EXPECT_EQ(r.opened, c.opened) << c.what;
        EXPECT_EQ(r.pcm, c.pcm) << c.what;
        EXPECT_EQ(r.console, c.console) << c.what;
    }
    EXPECT_EQ(run({}, 6, "missing/in.wav").console, "error opening file\n");
}

TEST(WavInput, ReadsGiveNBytesThenTheRemainderThen0) {
    Outcome r = run(riff(cat({kStereo48, chunk("data", Bytes(40, 7))})), 12);
    EXPECT_EQ(r.counts, (std::vector<int32_t>{12, 12, 12, 4, 0}));
}

int16_t s16(const Bytes& pcm, size_t i) {
    return int16_t(pcm[2 * i] | pcm[2 * i + 1] << 8);
}

TEST(WavInput, ConvertsTo16BitStereoOrRefuses) {
    const uint32_t nan = 0x7FC00000, one = 0x3F800000, half = 0x3F000000, two = 0x40000000;
    const struct {
        Bytes fmt;
        Bytes data;
        std::vector<int16_t> stereo;  // empty: refused
        uint8_t format_byte;          // after the probe, from 0xA7
    } cases[] = {
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
    for (const auto& c : cases) {
        write_template.format[0] = 0xA7;
        Outcome r = run(riff(cat({c.fmt, chunk("data", c.data)})));
        std::vector<int16_t> stereo;
        for (size_t i = 0; i < r.pcm.size() / 2; ++i) stereo.push_back(s16(r.pcm, i));
        EXPECT_EQ(stereo, c.stereo) << testing::PrintToString(c.fmt);
        EXPECT_EQ(r.opened, c.stereo.empty() ? 0 : 1);
        EXPECT_EQ(r.console, c.stereo.empty() ? "not supported file type\n" : "");
        EXPECT_EQ(write_template.format[0], c.format_byte) << testing::PrintToString(c.fmt);
    }
}

}  // namespace
