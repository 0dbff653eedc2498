#include "jobs/seek.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <tuple>

namespace {

using Record = std::array<uint8_t, kPositionRecordBytes>;

// A position record as the drive sends it: program number bytes 4-6, BCD running time
// 8-11, absolute time 12-15, program time 16-19.
Record make_record(std::array<uint8_t, 3> pno, std::array<uint8_t, 4> running,
                   std::array<uint8_t, 4> absolute, std::array<uint8_t, 4> program) {
    Record r{0x5A, 0, 0, 0, 0, 0, 0, 0x5A};  // bytes 0 and 7: the seek must not read them
    memcpy(&r[4], pno.data(), 3);
    memcpy(&r[8], running.data(), 4);
    memcpy(&r[12], absolute.data(), 4);
    memcpy(&r[16], program.data(), 4);
    return r;
}

TEST(PositionReached, EachKindReadsItsOwnFieldToTheFrame) {
    const Record r = make_record({1, 2, 3}, {0x00, 0x01, 0x02, 0x03}, {0x01, 0x17, 0x35, 0x33},
                                 {0x00, 0x12, 0x30, 0x00});
    const Record not_digits = make_record({0, 1, 0x0A}, {}, {}, {});
    const Record blank = make_record({0, 0, 0}, {}, {0xAA, 0xAA, 0xAA, 0xAA}, {});
    // kind, target, record, whether it is reached
    const std::tuple<int, uint32_t, Record, int> cases[] = {
        {0, 123, r, 1},                // one decimal digit per byte,
        {0, 0x010203, r, 1},           // or the bytes as one 24-bit number
        {0, 0x123, r, 0},              // but never BCD
        {0, 20, not_digits, 0},        // a byte above 9 is no digit
        {0, 0x00010A, not_digits, 1},  // but the bytes still count as a number
        {1, 0x01112321, r, 1},         // 1:17:35:33 as plain numbers
        {2, 0x00010203, r, 1},         // running time
        {3, 0x000C1E00, r, 1},         // program time
        {2, 0x01112321, r, 0},         // the same value under another kind is not the target
        {1, 0x000C1E00, r, 0},         // nor the other way round
        {1, 0x01112320, r, 0},         // one frame off
        {1, 0x01173533, r, 0},         // BCD 0x35 is 35 seconds, never 53
        {1, 0, blank, 0},              // the no-time marker is no time 0,
        {1, 0x6E6E6E6E, blank, 1},     // it reads as 110 in every byte
        {4, 0, blank, 0},              // kinds the seek does not know
        {-1, 0, blank, 0},             // never match
    };
    for (const auto& [kind, target, record, reached] : cases) {
        JobState job{};
        job.seek_kind = kind;
        job.seek_target = target;
        EXPECT_EQ(position_reached(&job, record.data()), reached)
            << kind << std::hex << " " << target;
    }
}

// Only the frame byte tells a time from the no-time marker; beside it the others show raw.
TEST(SeekProgressLine, ProgramDigitsAndDecimalTimeOrTheRawBytes) {
    for (auto [frame, line] : {std::pair{0x33, "PROGNUM: 103, ABSTIME: 01:12:30:33\r"},
                               {0xAA, "PROGNUM: 103, ABSTIME: 01:12:30:aa\r"}}) {
        testing::internal::CaptureStdout();
        print_seek_progress(
            make_record({1, 0, 3}, {}, {0x01, 0x12, 0x30, uint8_t(frame)}, {}).data());
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("   - Present seek position: ") + line);
    }
}

}  // namespace
