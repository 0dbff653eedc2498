#include "frame/subcode_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>

namespace {

// Item 1 or 2 with a 12-bit program-number field and a time hh:mm:ss:ff in packed BCD, or
// item 5, the date, with two three-byte BCD groups yymmdd and hhmmss in the time's place.
SubcodePack pack(int item, int program_field, uint32_t time, uint32_t hms = 0) {
    SubcodePack p{};
    p.bytes[0] = static_cast<uint8_t>((item << 4) | ((program_field >> 8) & 0x0F));
    p.bytes[1] = static_cast<uint8_t>(program_field & 0xFF);
    p.bytes[2] = 0x01;
    for (int i = 0; i < 4; ++i) p.bytes[3 + i] = static_cast<uint8_t>(time >> (24 - 8 * i));
    if (item != kItemDate) return p;
    for (int i = 0; i < 3; ++i) {
        p.bytes[1 + i] = static_cast<uint8_t>(time >> (16 - 8 * i));
        p.bytes[4 + i] = static_cast<uint8_t>(hms >> (16 - 8 * i));
    }
    return p;
}

const auto program_time = [](int pno, uint32_t t) { return pack(kItemProgramTime, pno, t); };
const auto absolute_time = [](int pno, uint32_t t) { return pack(kItemAbsoluteTime, pno, t); };
// Weekday 2 in bits 3-0 of byte 0.
const auto date = [](uint32_t ymd, uint32_t hms) { return pack(kItemDate, 0x200, ymd, hms); };

// Packs fill the slots from pack 1 on: 48 kHz, 2 channels, 16 bits, no control bits.
AudioFrame frame_with(std::initializer_list<SubcodePack> packs) {
    AudioFrame frame{};
    int slot = 0;
    for (const SubcodePack& p : packs) frame.packs[slot++] = p;
    return frame;
}

// Program 3 at absolute time 0:12:34 frame 05, program time 0:02:11 frame 30, dated
// 2002-01-28 14:05:09.
AudioFrame example_frame() {
    return frame_with({program_time(0x003, 0x00021130), absolute_time(0x003, 0x00123405),
                       date(0x020128, 0x140509)});
}

// Item number 0 in every pack, although the other bytes are not empty.
AudioFrame blank_frame() {
    AudioFrame frame{};
    std::memset(frame.audio, 0x5A, sizeof frame.audio);
    for (SubcodePack& p : frame.packs) p.bytes[0] = 0x0F;
    return frame;
}

class SubcodeReaderTest : public ::testing::Test {
protected:
    std::string decode(const AudioFrame& frame, int times = 1) {
        testing::internal::CaptureStdout();
        for (int i = 0; i < times; ++i) read_subcode(&frame, &job);
        return testing::internal::GetCapturedStdout();
    }
    std::string status_line() {
        testing::internal::CaptureStdout();
        print_status_line(&job);
        return testing::internal::GetCapturedStdout();
    }

    JobState job{};
};

TEST_F(SubcodeReaderTest, StatusLineFollowsTheFramesAsTheyCome) {
    const SubcodePack foreign = pack(3, 0x099, 0x01020304);  // an item not read
    const std::pair<AudioFrame, const char*> steps[] = {
        {example_frame(), "PRG:03-A:00:12:34:05-P:00:02:11:30-DATE:02/01/28-14:05:09"},
        // A frame without subcode keeps everything.
        {blank_frame(), "PRG:03-A:00:12:34:05-P:00:02:11:30-DATE:02/01/28-14:05:09"},
        // Program time and date belong to their frame; the program time carries on.
        {frame_with({absolute_time(0x001, 0x00000100)}),
         "PRG:01-A:00:00:01:00-P:00:02:11:30-DATE:00/00/00-00:00:00"},
        // Void times (0AA, 0BB) step the last time once per pack; the program stays.
        {frame_with({absolute_time(kPnoInvalid, kNoTime)}),
         "PRG:01-A:00:00:01:01-P:00:02:11:30-DATE:00/00/00-00:00:00"},
        {frame_with({absolute_time(kPnoInvalid, kNoTime), absolute_time(kPnoLeadIn, kNoTime),
                     program_time(kPnoLeadIn, kNoTime)}),
         "PRG:01-A:00:00:01:03-P:00:02:11:31-DATE:00/00/00-00:00:00"},
        // The last pack of an item wins; items the reader does not know are skipped.
        {frame_with({absolute_time(0x005, 0x00010000), foreign, absolute_time(0x006, 0x00020000),
                     date(0x990101, 0x000000), foreign, date(0x020128, 0x140509)}),
         "PRG:06-A:00:02:00:00-P:00:02:11:31-DATE:02/01/28-14:05:09"},
        // The whole 12-bit program field counts: 8AA is a program, not a void time.
        {frame_with({absolute_time(0x8AA, 0x00200000), program_time(0x123, 0x00000232)}),
         "PRG:8aa-A:00:20:00:00-P:00:00:02:32-DATE:00/00/00-00:00:00"},
        {frame_with({absolute_time(kPnoLeadOut, kNoTime), program_time(kPnoLeadOut, kNoTime)}),
         "PRG:ee-A:aa:aa:aa:aa-P:aa:aa:aa:aa-DATE:00/00/00-00:00:00"},
    };
    for (const auto& [frame, line] : steps) {
        EXPECT_EQ(decode(frame), "\r");
        EXPECT_EQ(status_line(), line + std::string("-48k-2-16-SCMS=00 "));
    }
}

TEST_F(SubcodeReaderTest, FormatBytesGiveRateWidthAndScmsFrameByFrame) {
    // format bytes 0 and 1, a blank frame (format bytes count on frames without subcode
    // too), rate changed, sample bits, the status line's end
    const std::tuple<uint8_t, uint8_t, bool, int, int, const char*> steps[] = {
        {0x00, 0x00, false, 0, 16, "48k-2-16-SCMS=00 "},  // a new job's rate code is 0
        {0x04, 0x04, false, 1, 16, "44k-2-16-SCMS=01 "},
        {0x04, 0x04, false, 0, 16, "44k-2-16-SCMS=01 "},
        {0x09, 0x48, true, 1, 12, "32k-4-12-SCMS=10 "},
        {0x0E, 0x00, false, 1, 16, "16-SCMS=00 "},  // rate 3 and channels 2 show nothing
        {0x0E, 0x80, false, 0, 16, "SCMS=00 "},     // nor does quantization 2
        {0x00, 0xC0, false, 1, 16, "48k-2-SCMS=00 "},
        {0x00, 0x4C, false, 0, 12, "48k-2-12-SCMS=11 "},
        {0x00, 0x33, false, 0, 16, "48k-2-16-SCMS=00 "},  // bits 5-4 and 1-0 are not codes
    };
    int step = 0;
    for (const auto& [format0, format1, blank, rate_changed, sample_bits, tail] : steps) {
        AudioFrame frame = blank ? blank_frame() : example_frame();
        frame.format[0] = format0;
        frame.format[1] = format1;
        decode(frame);
        EXPECT_EQ(std::tuple(job.rate_changed, job.sample_bits, status_line().substr(58)),
                  std::tuple(rate_changed, sample_bits, tail))
            << "step " << step++;
    }
}

// Control bits of sub-ID byte 0, frame by frame (-1: a blank frame), and whether the frame
// starts a start-ID run. Other control bits neither end a run nor start one; bits 3-0
// are not control bits.
TEST_F(SubcodeReaderTest, StartIdEdgeMarksOnlyTheFirstFrameOfARun) {
    const int steps[][2] = {{0xC0, 1}, {0x40, 0}, {0xC0, 0}, {0x80, 0}, {0x20, 0}, {0x40, 0},
                            {0x0F, 0}, {0x80, 0}, {0x40, 1}, {-1, 0},   {0x40, 1}};
    AudioFrame frame = example_frame();
    for (const auto& [bits, starts] : steps) {
        frame.sub_id[0] = static_cast<uint8_t>(bits);
        decode(bits < 0 ? blank_frame() : frame);
        EXPECT_EQ(job.new_start_id, starts) << std::hex << bits;
    }
}

}  // namespace
