#include "frame/subcode_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "frame_fixtures.h"

namespace {

using namespace frame_fixtures;

constexpr char kExampleLine[] =
    "PRG:03-A:00:12:34:05-P:00:02:11:30-DATE:02/01/28-14:05:09-48k-2-16-SCMS=00 ";

class SubcodeReaderTest : public ::testing::Test {
protected:
    std::string decode(const AudioFrame& frame) {
        testing::internal::CaptureStdout();
        read_subcode(&frame, &job);
        return testing::internal::GetCapturedStdout();
    }

    std::string decode_blank_frames(int count) {
        const AudioFrame blank = blank_frame();
        testing::internal::CaptureStdout();
        for (int i = 0; i < count; ++i) read_subcode(&blank, &job);
        return testing::internal::GetCapturedStdout();
    }

    std::string status_line() {
        testing::internal::CaptureStdout();
        print_status_line(&job);
        return testing::internal::GetCapturedStdout();
    }

    // What the tape-to-WAV job resets before its first read.
    void reset_like_a_job() {
        job.end_reached = 0;
        job.no_subcode = 1;
        job.new_start_id = 0;
        job.rate_changed = 0;
        job.rate_code = 0;
        job.blank_frames = 0;
        job.program_number = 0;
        job.program_time = 0;
        job.abs_time = 0;
    }

    JobState job{};
};

TEST_F(SubcodeReaderTest, ExampleFrameDecodesEveryFieldAndShowsTheFullLine) {
    const AudioFrame frame = frame_from_tail(kExampleSubcodeTail);
    EXPECT_EQ(decode(frame), "\r");

    EXPECT_EQ(job.no_subcode, 0);
    EXPECT_EQ(job.program_number, 3);
    EXPECT_EQ(job.abs_time, 0x00123405u);
    EXPECT_EQ(job.program_time, 0x00021130u);
    EXPECT_EQ(job.sample_bits, 16);
    EXPECT_EQ(status_line(), kExampleLine);

    // The pack builder the other tests use gives the drive's bytes exactly.
    AudioFrame built =
        frame_with({program_time_pack(0x003, 0x00021130), absolute_time_pack(0x003, 0x00123405),
                    date_pack(2, 0x020128, 0x140509)});
    built.sub_id[1] = 0x03;
    built.sub_id[2] = 0x03;
    EXPECT_EQ(std::memcmp(&built, &frame, sizeof frame), 0);
}

TEST_F(SubcodeReaderTest, VoidTimePacksCarryTheLastValidTimeForward) {
    decode(frame_with({absolute_time_pack(0x007, 0x00123405)}));
    EXPECT_EQ(job.program_number, 7);
    EXPECT_EQ(job.abs_time, 0x00123405u);
    EXPECT_EQ(status_line().substr(0, 21), "PRG:07-A:00:12:34:05-");

    decode(frame_with({absolute_time_pack(kPnoInvalid, kNoTime)}));
    EXPECT_EQ(job.abs_time_raw, kNoTime);
    EXPECT_EQ(job.abs_time, 0x00123406u);
    EXPECT_EQ(job.program_number, 7);
    EXPECT_EQ(status_line().substr(0, 21), "PRG:07-A:00:12:34:06-");

    decode(frame_with({absolute_time_pack(kPnoLeadIn, kNoTime)}));
    EXPECT_EQ(job.abs_time, 0x00123407u);
    EXPECT_EQ(job.program_number, 7);

    // The program time follows the same rule, from item-1 packs.
    decode(frame_with({program_time_pack(0x007, 0x00000232)}));
    decode(frame_with({program_time_pack(kPnoLeadIn, kNoTime)}));
    EXPECT_EQ(job.program_time_pno, kPnoLeadIn);
    EXPECT_EQ(job.program_time, 0x00000233u);
    EXPECT_EQ(status_line().substr(21, 14), "P:00:00:02:33-");

    // The whole 12-bit field counts: 0x8AA is a value of its own, not a void time.
    decode(frame_with({absolute_time_pack(0x8AA, 0x00200000)}));
    EXPECT_EQ(job.program_number, 0x8AA);
    EXPECT_EQ(job.abs_time, 0x00200000u);
}

TEST_F(SubcodeReaderTest, PacksOfOneItemApplyInSlotOrder) {
    job.abs_time = 0x00000232;
    decode(frame_with({absolute_time_pack(kPnoInvalid, kNoTime),
                       absolute_time_pack(kPnoLeadIn, kNoTime),
                       absolute_time_pack(kPnoInvalid, kNoTime)}));
    EXPECT_EQ(job.abs_time, 0x00000301u);  // 02:32 -> 02:33 -> 03:00 -> 03:01

    decode(
        frame_with({absolute_time_pack(0x005, 0x00010000), absolute_time_pack(0x006, 0x00020000)}));
    EXPECT_EQ(job.program_number, 6);
    EXPECT_EQ(job.abs_time, 0x00020000u);

    decode(frame_with(
        {absolute_time_pack(0x005, 0x00010000), absolute_time_pack(kPnoInvalid, kNoTime)}));
    EXPECT_EQ(job.program_number, 5);
    EXPECT_EQ(job.abs_time, 0x00010001u);
    EXPECT_EQ(job.abs_time_pno, kPnoInvalid);

    // Items the reader does not know are skipped, however their bytes look.
    decode(frame_with({foreign_pack(3), absolute_time_pack(0x008, 0x00030000), foreign_pack(4),
                       foreign_pack(6)}));
    EXPECT_EQ(job.program_number, 8);
    EXPECT_EQ(job.abs_time, 0x00030000u);
    EXPECT_EQ(job.program_time_pno, 0);
}

TEST_F(SubcodeReaderTest, ProgramTimeAndDateBelongToTheCurrentFrameOnly) {
    decode(frame_with({program_time_pack(0x123, 0x00021130), date_pack(1, 0x990101, 0x000000),
                       date_pack(2, 0x020128, 0x140509)}));
    EXPECT_EQ(job.program_time_pno, 0x123);
    EXPECT_EQ(job.program_time_raw, 0x00021130u);
    EXPECT_EQ(job.date_ymd, 0x020128u);  // the last date pack wins
    EXPECT_EQ(job.date_hms, 0x140509u);

    // A frame without subcode keeps all of it.
    decode_blank_frames(1);
    EXPECT_EQ(job.program_time_raw, 0x00021130u);
    EXPECT_EQ(job.date_ymd, 0x020128u);
    EXPECT_EQ(status_line().find("DATE:02/01/28-14:05:09-"), 35u);

    // A frame with subcode but neither pack clears them; the program time carries on.
    decode(frame_with({absolute_time_pack(0x001, 0x00000100)}));
    EXPECT_EQ(job.program_time_raw, 0u);
    EXPECT_EQ(job.program_time_pno, 0);
    EXPECT_EQ(job.program_time, 0x00021130u);
    EXPECT_EQ(job.date_ymd, 0u);
    EXPECT_EQ(job.date_hms, 0u);
    EXPECT_EQ(status_line(),
              "PRG:01-A:00:00:01:00-P:00:02:11:30-DATE:00/00/00-00:00:00-48k-2-16-SCMS=00 ");
}

TEST_F(SubcodeReaderTest, LeadOutShowsItsProgramValueAndNoTime) {
    decode(frame_from_tail(kExampleSubcodeTail));
    decode(frame_with(
        {program_time_pack(kPnoLeadOut, kNoTime), absolute_time_pack(kPnoLeadOut, kNoTime)}));
    EXPECT_EQ(job.program_number, kPnoLeadOut);
    EXPECT_EQ(job.abs_time, kNoTime);
    EXPECT_EQ(job.program_time, kNoTime);
    EXPECT_EQ(status_line().substr(0, 35), "PRG:ee-A:aa:aa:aa:aa-P:aa:aa:aa:aa-");
}

TEST_F(SubcodeReaderTest, ProgramDisplayFallsBackToTheLastProgram) {
    job.program_number = 0x12;
    const struct {
        int pno;
        const char* shown;
    } programs[] = {{0x000, "PRG:12-"},       {kPnoInvalid, "PRG:12-"}, {kPnoLeadIn, "PRG:12-"},
                    {kPnoLeadOut, "PRG:ee-"}, {0x007, "PRG:07-"},       {0x123, "PRG:123-"}};
    for (const auto& program : programs) {
        job.abs_time_pno = program.pno;
        EXPECT_EQ(status_line().substr(0, std::strlen(program.shown)), program.shown)
            << std::hex << program.pno;
    }
    job.abs_time_pno = 0;
    job.program_number = 0x7FF;
    EXPECT_EQ(status_line().substr(0, 8), "PRG:7ff-");
}

TEST_F(SubcodeReaderTest, BlankRunEndsTheMaterialOnceAtItsSixtySecondFrame) {
    // A blank tape: no frame with subcode was ever seen.
    EXPECT_EQ(decode_blank_frames(61), std::string(61, '\r'));
    EXPECT_EQ(job.end_reached, 0);
    EXPECT_EQ(job.no_subcode, 1);
    EXPECT_EQ(job.blank_frames, 61);
    decode_blank_frames(1);
    EXPECT_EQ(job.end_reached, 1);

    job.end_reached = 0;
    decode_blank_frames(100);
    EXPECT_EQ(job.end_reached, 0) << "signalled twice in one run";

    // Subcode ends the run; the next long run signals again.
    decode(frame_with({absolute_time_pack(0x002, 0x00050000)}));
    EXPECT_EQ(job.blank_frames, 0);
    EXPECT_EQ(job.no_subcode, 0);
    decode_blank_frames(61);
    EXPECT_EQ(job.end_reached, 0);
    EXPECT_EQ(job.program_number, 2);  // pack-derived status survives blank frames
    EXPECT_EQ(job.abs_time, 0x00050000u);
    EXPECT_EQ(job.abs_time_raw, 0x00050000u);
    decode_blank_frames(1);
    EXPECT_EQ(job.end_reached, 1);
}

TEST_F(SubcodeReaderTest, StopEotClearsEveryEndBeforeTheCallReturns) {
    job.stop_at_eot = 4;
    decode_blank_frames(200);
    EXPECT_EQ(job.end_reached, 0);
    EXPECT_EQ(job.no_subcode, 1);

    // An end the job noted before the call (a failed read) does not survive it either:
    // the job reads on.
    job.end_reached = 1;
    decode_blank_frames(1);
    EXPECT_EQ(job.end_reached, 0);
    job.end_reached = 1;
    decode(frame_from_tail(kExampleSubcodeTail));
    EXPECT_EQ(job.end_reached, 0);

    // Without /STOPEOT the job's own end stands.
    job.stop_at_eot = 0;
    job.end_reached = 1;
    decode(frame_from_tail(kExampleSubcodeTail));
    EXPECT_EQ(job.end_reached, 1);
}

TEST_F(SubcodeReaderTest, QuantizationCodeSetsTheSampleWidth) {
    const struct {
        uint8_t format1;
        int quantization;
        int bits;
        int scms;
        const char* tail;
    } cases[] = {{0x00, 0, 16, 0, "48k-2-16-SCMS=00 "}, {0x40, 1, 12, 0, "48k-2-12-SCMS=00 "},
                 {0x80, 2, 16, 0, "48k-2-SCMS=00 "},    {0xC0, 3, 16, 0, "48k-2-SCMS=00 "},
                 {0x4C, 1, 12, 3, "48k-2-12-SCMS=11 "}, {0x33, 0, 16, 0, "48k-2-16-SCMS=00 "}};
    for (const auto& c : cases) {
        AudioFrame frame = frame_from_tail(kExampleSubcodeTail);
        frame.format[1] = c.format1;
        decode(frame);
        EXPECT_EQ(job.quantization_code, c.quantization) << std::hex << int{c.format1};
        EXPECT_EQ(job.sample_bits, c.bits) << std::hex << int{c.format1};
        EXPECT_EQ(job.scms_code, c.scms) << std::hex << int{c.format1};
        const std::string line = status_line();
        EXPECT_EQ(line.substr(58), c.tail) << std::hex << int{c.format1};
    }
}

TEST_F(SubcodeReaderTest, RateChangeIsFlaggedFrameByFrame) {
    reset_like_a_job();
    AudioFrame frame = frame_from_tail(kExampleSubcodeTail);
    set_format(&frame, 1, 0, 0, 1);
    decode(frame);
    EXPECT_EQ(job.rate_changed, 1) << "the job's reset leaves rate code 0";
    EXPECT_EQ(job.rate_code, 1);
    EXPECT_EQ(status_line().substr(58), "44k-2-16-SCMS=01 ");

    decode(frame);
    EXPECT_EQ(job.rate_changed, 0);

    // Format bytes count on frames without subcode too.
    AudioFrame blank = blank_frame();
    set_format(&blank, 2, 1, 0, 2);
    decode(blank);
    EXPECT_EQ(job.rate_changed, 1);
    EXPECT_EQ(job.rate_code, 2);
    EXPECT_EQ(job.channels_code, 1);
    EXPECT_EQ(job.scms_code, 2);

    set_format(&frame, 3, 2, 0, 0);
    decode(frame);
    EXPECT_EQ(job.rate_changed, 1);
    EXPECT_EQ(status_line().substr(58), "16-SCMS=00 ") << "rate 3 and channels 2 show nothing";
    set_format(&frame, 2, 1, 1, 2);
    decode(frame);
    EXPECT_EQ(status_line().substr(58), "32k-4-12-SCMS=10 ");
}

TEST_F(SubcodeReaderTest, StartIdEdgeMarksOnlyTheFirstFrameOfARun) {
    AudioFrame frame = frame_from_tail(kExampleSubcodeTail);
    auto decode_with_control = [&](uint8_t control_bits) {
        set_control_bits(&frame, control_bits);
        decode(frame);
        return job.new_start_id;
    };
    EXPECT_EQ(decode_with_control(0xC0), 1);
    EXPECT_EQ(job.start_id_seen, 1);
    EXPECT_EQ(decode_with_control(0x40), 0);
    EXPECT_EQ(decode_with_control(0x40), 0);
    EXPECT_EQ(decode_with_control(0xC0), 0);
    // Other control bits neither end the run nor start a new one.
    EXPECT_EQ(decode_with_control(0x80), 0);
    EXPECT_EQ(job.start_id_seen, 1);
    EXPECT_EQ(decode_with_control(0x20), 0);
    EXPECT_EQ(decode_with_control(0x40), 0);
    // Bits 3-0 are not control bits: 0x0F ends the run like 0x00.
    EXPECT_EQ(decode_with_control(0x0F), 0);
    EXPECT_EQ(job.start_id_seen, 0);
    // Nor does a control bit without the start ID begin a run.
    EXPECT_EQ(decode_with_control(0x80), 0);
    EXPECT_EQ(job.start_id_seen, 0);
    EXPECT_EQ(decode_with_control(0x40), 1);

    // The edge lasts one frame, whatever the next frame holds.
    decode_blank_frames(1);
    EXPECT_EQ(job.new_start_id, 0);
    EXPECT_EQ(job.start_id_seen, 0) << "a blank frame has no control bits";
}

// The line as the consecutive printf writes of the status display give it.
std::string reference_status_line(const JobState& job) {
    char line[256];
    const int pno = job.abs_time_pno;
    const int program = (pno == 0 || pno == 0xAA || pno == 0xBB) ? job.program_number : pno;
    auto shown = [](uint32_t raw, uint32_t carried) {
        return (raw == 0 || raw == 0xAAAAAAAAu) ? carried : raw;
    };
    const uint32_t a = shown(job.abs_time_raw, job.abs_time);
    const uint32_t p = shown(job.program_time_raw, job.program_time);
    const uint32_t d = job.date_ymd;
    const uint32_t t = job.date_hms;
    int n = snprintf(line, sizeof line, "PRG:%.2x-", static_cast<unsigned>(program));
    n += snprintf(line + n, sizeof line - n, "A:%.2x:%.2x:%.2x:%.2x-", a >> 24, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF);
    n += snprintf(line + n, sizeof line - n, "P:%.2x:%.2x:%.2x:%.2x-", p >> 24, (p >> 16) & 0xFF,
                  (p >> 8) & 0xFF, p & 0xFF);
    n += snprintf(line + n, sizeof line - n, "DATE:%.2x/%.2x/%.2x-", (d >> 16) & 0xFF,
                  (d >> 8) & 0xFF, d & 0xFF);
    n += snprintf(line + n, sizeof line - n, "%.2x:%.2x:%.2x-", (t >> 16) & 0xFF, (t >> 8) & 0xFF,
                  t & 0xFF);
    const char* rates[] = {"48k-", "44k-", "32k-", ""};
    const char* channels[] = {"2-", "4-", "", ""};
    const char* widths[] = {"16-", "12-", "", ""};
    const char* scms[] = {"00 ", "01 ", "10 ", "11 "};
    snprintf(line + n, sizeof line - n, "%s%s%sSCMS=%s", rates[job.rate_code],
             channels[job.channels_code], widths[job.quantization_code], scms[job.scms_code]);
    return line;
}

TEST_F(SubcodeReaderTest, StatusLineMatchesThePrintfFormatsForAnyState) {
    std::mt19937 rng(20020128);
    const int pnos[] = {0x000, 0x0AA, 0x0BB, 0x0EE, 0x001, 0x099, 0x799, 0xFFF};
    const uint32_t times[] = {0u, 0xAAAAAAAAu, 0x99595933u, 0xA0000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 2000; ++i) {
        job = JobState{};
        job.abs_time_pno = pnos[rng() % 8];
        job.program_number = (i % 7 == 0) ? static_cast<int32_t>(rng()) : rng() % 0x1000;
        job.abs_time_raw = (i % 3 == 0) ? times[rng() % 5] : rng();
        job.abs_time = rng();
        job.program_time_raw = (i % 3 == 1) ? times[rng() % 5] : rng();
        job.program_time = rng();
        job.date_ymd = rng();
        job.date_hms = rng();
        job.rate_code = rng() % 4;
        job.channels_code = rng() % 4;
        job.quantization_code = rng() % 4;
        job.scms_code = rng() % 4;
        ASSERT_EQ(status_line(), reference_status_line(job)) << "state " << i;
    }
}

}  // namespace
