// The drive's reading of frame subcode and of its own running time, and the read-error
// list of the bay.

#include "tape_position.h"

#include "bay.h"
#include "vdat_test_support.h"

namespace vdat_test {
namespace {

// The time code stepped one frame at a time, as a recorder steps it.
struct SlowClock {
    int h = 0, m = 0, s = 0, f = 0;
    void step() {
        if (++f > (s % 3 == 2 ? 33 : 32)) {
            f = 0;
            if (++s == 60) {
                s = 0;
                if (++m == 60) m = 0, ++h;
            }
        }
    }
    Bytes bcd() const {
        auto b = [](int v) { return uint8_t((v / 10) << 4 | v % 10); };
        return {b(h), b(m), b(s), b(f)};
    }
};

TEST(TapePositionTest, RunningTimeMatchesAFrameByFrameCount) {
    SlowClock clock;
    for (uint64_t position = 0; position < 2 * 3600 * 34; ++position) {
        uint8_t time[4];
        running_time_at(position, time);
        ASSERT_EQ(Bytes(time, time + 4), clock.bcd()) << position;
        ASSERT_EQ(position_of_running_time(time), int64_t(position));
        clock.step();
    }
    uint8_t last[4];
    running_time_at(kMaxRunningPositions - 1, last);
    EXPECT_EQ(Bytes(last, last + 4), (Bytes{0x99, 0x59, 0x59, 0x33}));
}

TEST(TapePositionTest, RunningTimesThatNoFrameShows) {
    const Bytes invalid[] = {
        {0x00, 0x00, 0x01, 0x33},  // second 1 has frames 00-32
        {0x00, 0x00, 0x60, 0x00}, {0x00, 0x60, 0x00, 0x00},
        {0x00, 0x00, 0x0A, 0x00}, {0xAA, 0xAA, 0xAA, 0xAA},
    };
    for (const Bytes& time : invalid) EXPECT_EQ(position_of_running_time(time.data()), -1);
    const uint8_t last_frame_of_second_2[4] = {0x00, 0x00, 0x02, 0x33};
    EXPECT_EQ(position_of_running_time(last_frame_of_second_2), 99);
}

TEST(TapePositionTest, ViewTakesTheLastPackOfEachItem) {
    Bytes frame = make_frame(0, 0x042, {0x00, 0x01, 0x02, 0x03}, {0x00, 0x00, 0x00, 0x07});
    FrameView view;
    view_frame(&frame[kSubcodeOffset], &view);
    EXPECT_EQ(Bytes(view.program_digits, view.program_digits + 3), (Bytes{0, 4, 2}));
    EXPECT_EQ(view_program_number(view), 42);
    EXPECT_EQ(Bytes(view.absolute_time, view.absolute_time + 4), (Bytes{0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(Bytes(view.program_time, view.program_time + 4), (Bytes{0x00, 0x00, 0x00, 0x07}));

    // Pack 5 carries a second absolute-time pack, of the lead-in: it wins, without a time.
    const uint8_t lead_in[8] = {0x20, 0xBB, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00};
    std::copy(lead_in, lead_in + 8, frame.begin() + 5792);
    view_frame(&frame[kSubcodeOffset], &view);
    EXPECT_EQ(Bytes(view.program_digits, view.program_digits + 3), (Bytes{0, 0x0B, 0x0B}));
    EXPECT_EQ(view_program_number(view), -1) << "0BB is no program, not 121";
    EXPECT_EQ(Bytes(view.absolute_time, view.absolute_time + 4), Bytes(4, 0xAA));

    LocateTarget target{LOCATE_PROGRAM_TIME, 0, {0x00, 0x00, 0x00, 0x07}};
    EXPECT_TRUE(view_shows_target(view, target));
    target.kind = LOCATE_ABSOLUTE_TIME;
    memset(target.time, 0xAA, 4);
    EXPECT_FALSE(view_shows_target(view, target)) << "no time never matches";
}

TEST(TapePositionTest, ReadErrorListsAreParsedStrictly) {
    std::vector<FrameRange> ranges;
    ASSERT_EQ(parse_frame_ranges(" 205-210, 100 ,207-220,221", &ranges), 0);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].first, 100u);
    EXPECT_EQ(ranges[1].first, 205u);
    EXPECT_EQ(ranges[1].last, 221u);
    for (uint64_t p : {99u, 101u, 204u, 222u}) EXPECT_FALSE(in_ranges(ranges, p)) << p;
    for (uint64_t p : {100u, 205u, 210u, 215u, 221u}) EXPECT_TRUE(in_ranges(ranges, p)) << p;
    EXPECT_EQ(parse_frame_ranges("", &ranges), 0);
    EXPECT_TRUE(ranges.empty());
    for (const char* bad : {"1,", "-3", "3-", "0x10", "+4", "1 2", "9-8", "99999999999"}) {
        EXPECT_EQ(parse_frame_ranges(bad, &ranges), -1) << bad;
    }
}

}  // namespace
}  // namespace vdat_test
