#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mpg123.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "frame/subcode_writer.h"
#include "unit/input/input_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int32_t kFrameRead = 5760;
constexpr size_t kLayer3FrameBytes = 1152 * 4;

std::string make_fixtures() {
    std::string folder = testing::TempDir() + "mpeg_XXXXXX";
    if (!mkdtemp(folder.data())) return "";
    EXPECT_EQ(system(("python3 " FIXTURE_SCRIPT " " + folder).c_str()), 0);
    return folder + "/";
}

// Libmpg123's own decode of the whole file in one go, widened to stereo here.
Bytes whole_file_decode(const std::string& path) {
    mpg123_handle* handle = mpg123_new(nullptr, nullptr);
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    mpg123_open_fixed(handle, path.c_str(), MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    long rate = 0;
    int channels = 0, encoding = 0, result = 0;
    mpg123_getformat(handle, &rate, &channels, &encoding);
    Bytes pcm, chunk(1 << 16);
    for (size_t done = 0; result == MPG123_OK || result == MPG123_NEW_FORMAT;) {
        result = mpg123_read(handle, chunk.data(), chunk.size(), &done);
        for (size_t i = 0; i + 1 < done; i += 2) {
            for (int copy = 0; copy < 3 - channels; ++copy)
                pcm.insert(pcm.end(), {chunk[i], chunk[i + 1]});
        }
    }
    mpg123_delete(handle);
    return pcm;
}

enum Expect { DECODED, DAMAGED, REFUSED };

TEST(MpegInput, FilesAndExpectations) {
    const std::string folder = make_fixtures();
    const struct {
        const char* file;
        Expect expect;
        int rate_code;           // written into the template, -1 none
        const char* source_wav;  // the decode is exactly as long as this source
        const char* console;     // a regular expression
    } cases[] = {
        // clang-format off
        {"tagged.mp3", DECODED, 1, "tone44.wav", ""},
        {"untagged.mp3", DECODED, 1, nullptr, ""},
        {"tone48.mp2", DECODED, 0, nullptr, ""},
        {"tone32.mpa", DECODED, 2, nullptr, ""},
        {"mono.mp3", DECODED, 1, "mono44.wav", ""},
        {"truncated.mp3", DECODED, 1, nullptr, ""},
        {"damaged.mp3", DAMAGED, 1, nullptr, ".*/damaged.mp3: 5 damaged frames skipped\n"},
        {"low22.mp3", REFUSED, -1, nullptr, "not supported file type\n"},
        {"random.mp3", REFUSED, -1, nullptr, "cannot analyze file .*/random.mp3, \\(18\\) Error reading the stream.\n"},
        {"empty.mp3", REFUSED, -1, nullptr, "cannot analyze file .*/empty.mp3, \\(18\\) Error reading the stream.\n"},
        {"missing.mp3", REFUSED, -1, nullptr, "cannot analyze file .*/missing.mp3, \\(22\\) File access error.\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        write_template.format[0] = 0xA7;
        Outcome r = run_file(folder + c.file, kFrameRead);
        Bytes reference =
            whole_file_decode(folder + (c.expect == DAMAGED ? "untagged.mp3" : c.file));
        EXPECT_EQ(r.opened, c.expect == REFUSED ? 0 : 1) << c.file;
        EXPECT_THAT(r.console, testing::MatchesRegex(c.console)) << c.file;
        EXPECT_EQ(write_template.format[0], c.rate_code < 0 ? 0xA7 : 0xA0 | c.rate_code << 2)
            << c.file;
        EXPECT_EQ(r.counts, expected_counts(r.pcm.size(), kFrameRead)) << c.file;
        if (c.expect == DECODED) {
            EXPECT_TRUE(r.pcm == reference) << c.file;
        } else if (c.expect == DAMAGED) {  // whole frames lost, nothing else
            size_t lost = reference.size() - r.pcm.size();
            EXPECT_TRUE(lost > 0 && lost < reference.size() && lost % kLayer3FrameBytes == 0)
                << lost;
        }
        if (c.source_wav) {
            EXPECT_EQ(r.pcm.size(), run_file(folder + c.source_wav, kFrameRead).pcm.size())
                << c.file;
        }
    }
}

}  // namespace
