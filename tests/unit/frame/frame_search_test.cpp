// What a drive shows of a frame, the search for a target over a frame file, and the frame
// file's own bounds.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "frame/audio_frame.h"
#include "frame/frame_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A frame whose first audio byte is n and whose program-time and absolute-time packs
// carry pno (12-bit value) and the two packed BCD times; pno < 0: unrecorded tape.
Bytes make_frame(int n, int pno, uint32_t absolute = kNoTime, uint32_t program = kNoTime) {
    Bytes frame(kFrameBytes, 0);
    frame[0] = static_cast<uint8_t>(n);
    for (int k = 0; k < 2 && pno >= 0; ++k) {
        uint8_t* pack = &frame[kSubcodeOffset + 8 * k];
        uint32_t time = k == 0 ? program : absolute;
        pack[0] = static_cast<uint8_t>((k + 1) << 4 | pno >> 8);
        pack[1] = static_cast<uint8_t>(pno);
        for (int i = 0; i < 4; ++i) pack[3 + i] = static_cast<uint8_t>(time >> (24 - 8 * i));
    }
    return frame;
}

uint32_t time_after(int frames) {
    uint32_t time = 0;
    while (frames-- > 0) time = bcd_time_increment(time);
    return time;
}

FrameTarget time_target(int kind, uint32_t bcd) {
    FrameTarget target{kind, 0, {}};
    for (int i = 0; i < 4; ++i)
        target.time[i] = static_cast<uint8_t>(bcd_number(bcd >> (24 - 8 * i)));
    return target;
}

TEST(FrameSearch, RunningTimeOfEveryPositionMatchesTheTimeCodeStep) {
    uint32_t time = 0;
    for (uint64_t position = 0; position < 2 * 3600 * 34; ++position) {
        uint8_t shown[4];
        running_time_at(position, shown);
        ASSERT_EQ(uint32_t(shown[0] << 24 | shown[1] << 16 | shown[2] << 8 | shown[3]), time);
        ASSERT_EQ(frame_search(kMaxRunningPositions, time_target(TARGET_RUNNING_TIME, time),
                               nullptr, nullptr),
                  int64_t(position));
        time = bcd_time_increment(time);
    }
    for (uint32_t never : {0x00000133u, 0x00006000u, 0x00600000u, 0xA0000000u}) {
        EXPECT_EQ(frame_search(kMaxRunningPositions, time_target(TARGET_RUNNING_TIME, never),
                               nullptr, nullptr),
                  -1)
            << std::hex << never;
    }
}

TEST(FrameSearch, PositionRecordTakesTheLastPackOfEachItem) {
    Bytes frame = make_frame(0, 0x042, 0x00010203, 0x00000405);
    uint8_t record[kPositionRecordBytes];
    frame_position_record(&frame[kSubcodeOffset], 100, record);
    EXPECT_EQ(Bytes(record, record + 20),
              (Bytes{0,    0,    0,    0,    0,    4,    2,    0,    0,    0,
                     0x03, 0x00, 0x00, 0x01, 0x02, 0x03, 0x00, 0x00, 0x04, 0x05}));
    // Pack 5 carries a second absolute-time pack, of the lead-in: it wins, without a time.
    const uint8_t lead_in[8] = {0x20, 0xBB, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00};
    std::copy(lead_in, lead_in + 8, frame.begin() + kSubcodeOffset + 32);
    frame_position_record(&frame[kSubcodeOffset], 0, record);
    EXPECT_EQ(Bytes(record, record + 16),
              (Bytes{0x80, 0, 0, 0, 0, 0x0B, 0x0B, 0, 0, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}));
}

// 2 lead-in frames, program 1 and program 123 of 40 frames each, a blank frame, and 100
// bytes of a frame cut short.
TEST(FrameFile, FindsTheFirstFrameThatShowsEachKindWithinTheWholeFrames) {
    char path[] = "/tmp/frame_file_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* out = fdopen(fd, "wb");
    std::vector<Bytes> tape = {make_frame(0, kPnoLeadIn), make_frame(1, kPnoLeadIn)};
    for (int i = 0; i < 80; ++i) {
        tape.push_back(
            make_frame(2 + i, i < 40 ? 0x001 : 0x123, time_after(i), time_after(i % 40)));
    }
    tape.push_back(make_frame(82, -1));
    for (const Bytes& frame : tape) fwrite(frame.data(), 1, frame.size(), out);
    fwrite(tape[5].data(), 1, 100, out);
    fclose(out);

    FrameFile file;
    ASSERT_EQ(platform_file_open(path, FILE_READ_ONLY, &file.file), 0);
    ASSERT_EQ(frame_file_measure(&file), 0);
    EXPECT_EQ(std::tuple(file.frames, file.partial_bytes), std::tuple(83u, 100u));
    const std::tuple<FrameTarget, int64_t> cases[] = {
        {{TARGET_PROGRAM, 1, {}}, 2},
        {{TARGET_PROGRAM, 123, {}}, 42},
        {{TARGET_PROGRAM, 2, {}}, -1},
        {time_target(TARGET_ABSOLUTE_TIME, time_after(50)), 52},
        {time_target(TARGET_PROGRAM_TIME, time_after(5)), 7},  // program 1 shows it first
        {time_target(TARGET_PROGRAM_TIME, time_after(40)), -1},
        {time_target(TARGET_RUNNING_TIME, time_after(82)), 82},
        {time_target(TARGET_RUNNING_TIME, time_after(83)), -1},  // the partial frame
    };
    for (const auto& [target, position] : cases) {
        EXPECT_EQ(frame_file_find(file, target), position) << target.kind << " " << position;
    }
    Bytes frame(kFrameBytes);
    EXPECT_EQ(frame_file_read(file, 82, frame.data(), kFrameBytes), 0);
    EXPECT_EQ(frame, tape[82]);
    EXPECT_EQ(frame_file_read(file, 83, frame.data(), 100), -1);
    EXPECT_EQ(frame_file_read_subcodes(file, 82, 2, frame.data()), -1);
    platform_file_close(&file.file);
    unlink(path);
}

}  // namespace
