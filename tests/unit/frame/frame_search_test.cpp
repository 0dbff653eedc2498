// What a drive shows of a frame when it reports its position or searches for a target.

#include "frame/frame_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "frame/audio_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

int64_t find_running_time(uint32_t bcd) {
    FrameTarget target{TARGET_RUNNING_TIME, 0, {}};
    for (int i = 0; i < 4; ++i) target.time[i] = uint8_t(bcd_number(bcd >> (24 - 8 * i)));
    return frame_search(kMaxRunningPositions, target, nullptr, nullptr);
}

TEST(FrameSearch, RunningTimeOfEveryPositionMatchesTheTimeCodeStep) {
    uint32_t time = 0;
    for (uint64_t position = 0; position < 2 * 3600 * 34; ++position) {
        uint8_t shown[4];
        running_time_at(position, shown);
        ASSERT_EQ(uint32_t(shown[0] << 24 | shown[1] << 16 | shown[2] << 8 | shown[3]), time);
        ASSERT_EQ(find_running_time(time), int64_t(position));
        time = bcd_time_increment(time);
    }
    for (uint32_t never : {0x00000133u, 0x00006000u, 0x00600000u, 0xA0000000u}) {
        EXPECT_EQ(find_running_time(never), -1) << std::hex << never;
    }
}

TEST(FrameSearch, PositionRecordTakesTheLastPackOfEachItem) {
    // Program 042 at absolute time 00:01:02:03 in pack 2; pack 5 carries a second
    // absolute-time pack, of the lead-in: it wins, without a time.
    uint8_t subcode[kSubcodeBytes] = {};
    std::copy_n(Bytes{0x20, 0x42, 0x01, 0x00, 0x01, 0x02, 0x03, 0x00}.begin(), 8, &subcode[8]);
    std::copy_n(Bytes{0x20, 0xBB, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00}.begin(), 8, &subcode[32]);
    uint8_t record[kPositionRecordBytes];
    frame_position_record(subcode, 0, record);
    Bytes expected = {0x80, 0, 0, 0, 0x00, 0x0B, 0x0B, 0, 0, 0, 0, 0};
    expected.resize(20, 0xAA);
    EXPECT_EQ(Bytes(record, record + 20), expected);
}

}  // namespace
