// The audio LOCATE, the winding it starts, the READ POSITION record, and the bay's lists
// of damaged positions.

#include <tuple>

#include "bay.h"
#include "vdat_test_support.h"

namespace vdat_test {
namespace {

constexpr uint32_t kInProgress = 0x04020407;

Bytes audio_locate(uint8_t kind, const Bytes& target, uint8_t flags = 0x05) {
    Bytes cdb = {0x2B, flags, 0x00, kind, 0, 0, 0, 0, 0x00, 0x00};
    std::copy(target.begin(), target.end(), cdb.begin() + 4);
    return cdb;
}

// 3 lead-in frames, program 1 and program 123 of 40 frames each, then 2 blank frames.
class LocateTest : public VdatTest {
protected:
    static constexpr int kLeadIn = 3;
    static constexpr int kProgramFrames = 40;
    static constexpr int kFrames = kLeadIn + 2 * kProgramFrames + 2;

    void SetUp() override {
        VdatTest::SetUp();
        std::vector<Bytes> tape;
        for (int i = 0; i < kLeadIn; ++i) tape.push_back(make_frame(i, 0x0BB));
        for (int i = 0; i < 2 * kProgramFrames; ++i) {
            tape.push_back(make_frame(kLeadIn + i, i < kProgramFrames ? 0x001 : 0x123,
                                      time_after(i), time_after(i % kProgramFrames)));
        }
        for (int i = kFrames - 2; i < kFrames; ++i) tape.push_back(make_frame(i, -1));
        cassette("tape.dat", tape);
    }

    void use_bay(int fps) {
        bay("[0:4]\ncassette=tape.dat\nlocate_fps=" + std::to_string(fps) + "\n");
        ASSERT_EQ(set_density(4, 0x80), kGood);
    }

    // Bytes of the position record: 4, 3 the program number; 12, 4 the absolute time.
    Bytes shown(int from, int count = 4) {
        Bytes record = read_position(4);
        return Bytes(record.begin() + from, record.begin() + from + count);
    }
};

TEST_F(LocateTest, PositionRecordDescribesTheFrameUnderTheHead) {
    use_bay(1000);
    int position = kLeadIn + kProgramFrames + 38;
    ASSERT_EQ(status(4, cdb_locate_block(position)), kGood);
    Bytes expected = {0x00, 0, 0, 0, 0x01, 0x02, 0x03, 0};
    for (int frames : {position, kProgramFrames + 38, 38}) {  // running, absolute, program time
        Bytes time = time_after(frames);
        expected.insert(expected.end(), time.begin(), time.end());
    }
    EXPECT_EQ(read_position(4), expected);
    ASSERT_EQ(status(4, cdb_locate_block(kFrames - 1)), kGood);
    EXPECT_EQ(shown(4, 3), Bytes(3, 0x0A)) << "unrecorded: no program number";
    EXPECT_EQ(shown(12, 8), Bytes(8, 0xAA));
    ASSERT_EQ(status(4, cdb_locate_block(kFrames)), kGood);
    read_position(4, kEndOfData);
    EXPECT_EQ(status(4, cdb_locate_block(kFrames + 1)), kEndOfData);
}

TEST_F(LocateTest, TheTapeWindsAtTheBaySpeedInEitherDirectionUntilStopped) {
    use_bay(10);  // ten frames a second
    ASSERT_EQ(status(4, audio_locate(0x00, {0x00, 0x01, 0x23})), kGood);
    g_now += 3999;
    EXPECT_EQ(shown(12), time_after(39 - kLeadIn));
    EXPECT_EQ(status(4, kTestUnitReady), kInProgress);
    g_now += 301;
    EXPECT_EQ(shown(4, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(status(4, kTestUnitReady), kGood);

    ASSERT_EQ(status(4, audio_locate(0x20, time_after(0))), kGood);
    g_now += 2000;
    EXPECT_EQ(shown(12), time_after(kProgramFrames - 20));
    ASSERT_EQ(status(4, kRewind), kGood);
    EXPECT_EQ(status(4, kTestUnitReady), kGood) << "the rewind stopped the winding";
    EXPECT_EQ(shown(4, 3), (Bytes{0, 0x0B, 0x0B}));
    EXPECT_EQ(status(4, {0x0C, 0x00, 0x00, 0x00, 0x50, 0x00}), kGood) << "SEEK BLOCK";
    EXPECT_EQ(shown(4, 3), (Bytes{1, 2, 3}));
}

TEST_F(LocateTest, ATargetNotOnTheTapeWindsToTheEndOfData) {
    use_bay(1000);
    ASSERT_EQ(status(4, audio_locate(0x00, {0x00, 0x00, 0x05})), kGood);
    g_now += 40;
    EXPECT_EQ(shown(12), time_after(40 - kLeadIn));
    g_now += kFrames;
    EXPECT_EQ(status(4, kTestUnitReady), kEndOfData) << "the failure, reported once";
    EXPECT_EQ(status(4, kTestUnitReady), kGood);
    read_position(4, kEndOfData);

    // Without the immediate bit the command itself reports it.
    ASSERT_EQ(status(4, kRewind), kGood);
    EXPECT_EQ(status(4, audio_locate(0x60, {0x00, 0x05, 0x00, 0x00}, 0x04)), kEndOfData);
    read_position(4, kEndOfData);
    EXPECT_EQ(status(4, audio_locate(0x00, {0x00, 0x00, 0x01}, 0x04)), kGood);
    EXPECT_EQ(shown(4, 3), (Bytes{0, 0, 1}));

    EXPECT_EQ(status(4, audio_locate(0x80, {0, 0, 0, 0})), kBadField) << "unknown kind";
    ASSERT_EQ(set_density(4, 0x13), kGood);
    EXPECT_EQ(status(4, audio_locate(0x00, {0x00, 0x00, 0x01})), kBadField) << "data mode";
}

TEST(BayTest, ErrorListsAreSortedMergedAndParsedStrictly) {
    std::vector<FrameRange> ranges;
    ASSERT_EQ(parse_frame_ranges(" 205-210, 100 ,207-220,221", &ranges), 0);
    for (uint64_t p : {99u, 101u, 204u, 222u}) EXPECT_FALSE(in_ranges(ranges, p)) << p;
    for (uint64_t p : {100u, 205u, 210u, 215u, 221u}) EXPECT_TRUE(in_ranges(ranges, p)) << p;
    EXPECT_EQ(ranges.size(), 2u);
    for (const char* bad : {"1,", "-3", "3-", "0x10", "+4", "1 2", "9-8", "99999999999"}) {
        EXPECT_EQ(parse_frame_ranges(bad, &ranges), -1) << bad;
    }
}

}  // namespace
}  // namespace vdat_test
