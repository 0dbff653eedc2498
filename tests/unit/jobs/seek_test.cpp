#include "jobs/seek.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

using Record = std::array<uint8_t, kPositionRecordBytes>;

// A position record as the drive sends it: program number bytes 4-6, BCD running time
// 8-11, absolute time 12-15, program time 16-19.
Record make_record(std::array<uint8_t, 3> pno, std::array<uint8_t, 4> running,
                   std::array<uint8_t, 4> absolute, std::array<uint8_t, 4> program) {
    Record r{};
    r[0] = 0x5A;  // bytes the seek must not read
    r[7] = 0x5A;
    memcpy(&r[4], pno.data(), 3);
    memcpy(&r[8], running.data(), 4);
    memcpy(&r[12], absolute.data(), 4);
    memcpy(&r[16], program.data(), 4);
    return r;
}

int reached(int kind, uint32_t value, const Record& record) {
    JobState job{};
    job.seek_kind = kind;
    job.seek_target = value;
    return position_reached(&job, record.data());
}

constexpr uint32_t hmsf(uint32_t h, uint32_t m, uint32_t s, uint32_t f) {
    return (h << 24) | (m << 16) | (s << 8) | f;
}

TEST(PositionReached, ProgramNumberIsTheRawBytesAsOne24BitNumber) {
    Record r = make_record({0, 0, 3}, {}, {}, {});
    EXPECT_EQ(1, reached(0, 3, r));
    EXPECT_EQ(0, reached(0, 4, r));
    // 0x01 0x02 0x03 is 66051, not 123 and not BCD
    Record wide = make_record({1, 2, 3}, {}, {}, {});
    EXPECT_EQ(1, reached(0, 0x010203, wide));
    EXPECT_EQ(0, reached(0, 123, wide));
}

TEST(PositionReached, EachTimeKindReadsItsOwnBcdField) {
    Record r = make_record({0, 0, 1}, {0x00, 0x01, 0x02, 0x03}, {0x01, 0x17, 0x35, 0x33},
                           {0x00, 0x12, 0x30, 0x00});
    EXPECT_EQ(1, reached(1, hmsf(1, 17, 35, 33), r));
    EXPECT_EQ(1, reached(2, hmsf(0, 1, 2, 3), r));
    EXPECT_EQ(1, reached(3, hmsf(0, 12, 30, 0), r));
    // the same value under another kind is not the target
    EXPECT_EQ(0, reached(2, hmsf(1, 17, 35, 33), r));
    EXPECT_EQ(0, reached(1, hmsf(0, 12, 30, 0), r));
}

TEST(PositionReached, TimesMustMatchToTheFrame) {
    Record r = make_record({}, {}, {0x00, 0x12, 0x30, 0x01}, {});
    EXPECT_EQ(0, reached(1, hmsf(0, 12, 30, 0), r));
    EXPECT_EQ(1, reached(1, hmsf(0, 12, 30, 1), r));
    // BCD 0x30 is 30 seconds, never 0x30 = 48
    EXPECT_EQ(0, reached(1, hmsf(0, 0x12, 0x30, 1), r));
}

TEST(PositionReached, NoTimeMarkerAndUnknownKindsNeverMatchAnOrdinaryTarget) {
    Record blank = make_record({0, 0, 0}, {}, {0xAA, 0xAA, 0xAA, 0xAA}, {});
    EXPECT_EQ(0, reached(1, hmsf(0, 0, 0, 0), blank));
    // 0xAA reads as 110 in every byte
    EXPECT_EQ(1, reached(1, hmsf(110, 110, 110, 110), blank));
    Record r = make_record({0, 0, 0}, {}, {}, {});
    EXPECT_EQ(0, reached(4, 0, r));
    EXPECT_EQ(0, reached(-1, 0, r));
}

std::string progress_line(const Record& r) {
    testing::internal::CaptureStdout();
    print_seek_progress(r.data());
    return testing::internal::GetCapturedStdout();
}

TEST(SeekProgressLine, ShowsDigitsOfTheProgramNumberAndTheDecimalTime) {
    EXPECT_EQ("   - Present seek position: PROGNUM: 012, ABSTIME: 01:07:05:33\r",
              progress_line(make_record({0, 1, 2}, {}, {0x01, 0x07, 0x05, 0x33}, {})));
}

TEST(SeekProgressLine, ShowsTheNoTimeMarkerAsRawBytes) {
    EXPECT_EQ("   - Present seek position: PROGNUM: 000, ABSTIME: aa:aa:aa:aa\r",
              progress_line(make_record({0, 0, 0}, {}, {0xAA, 0xAA, 0xAA, 0xAA}, {})));
    // only byte 15 decides: other bytes stay raw when it holds the marker
    EXPECT_EQ("   - Present seek position: PROGNUM: 103, ABSTIME: 00:12:30:aa\r",
              progress_line(make_record({1, 0, 3}, {}, {0x00, 0x12, 0x30, 0xAA}, {})));
}

}  // namespace
