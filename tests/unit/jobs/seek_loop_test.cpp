#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "fake_tape.h"
#include "jobs/seek.h"
#include "platform/clock.h"

namespace {

using testing::EndsWith;

constexpr ScsiStatus kMediumError = 0x04031100u;

// A tape winding one absolute-time frame per poll, `moves` polls long, then standing.
std::vector<PositionAnswer> winding(int moves) {
    std::vector<PositionAnswer> answers;
    for (int i = 0; i <= moves; ++i)
        answers.push_back(
            position(1, {0x00, 0x01, static_cast<uint8_t>(i / 10 * 16 + i % 10), 0x00}));
    return answers;
}

std::vector<PositionAnswer> then(std::vector<PositionAnswer> answers, ScsiStatus failure,
                                 int repeats = 0) {
    for (int i = 0; i < repeats; ++i) answers.push_back(answers.back());
    answers.push_back({failure, {}});
    return answers;
}

class SeekLoop : public testing::Test {
protected:
    void SetUp() override { fake_tape_install(&tape_); }
    void TearDown() override { fake_tape_remove(); }

    // Seeks to absolute time 0:18:48:00 unless the test chose another target.
    int run(int kind = 1, uint32_t target = 0x00123000) {
        job_.seek_kind = kind;
        job_.seek_target = target;
        start_ms_ = platform_now_ms();
        testing::internal::CaptureStdout();
        int result = seek_tape(&job_.input, &job_);
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    uint32_t seconds_taken() const { return (platform_now_ms() - start_ms_) / 1000u; }

    FakeTape tape_;
    JobState job_{};
    std::string out_;
    uint32_t start_ms_ = 0;
};

TEST_F(SeekLoop, TargetShownAtTheFirstPollEndsWithoutWaiting) {
    tape_.positions = {position(3, {0x00, 0x05, 0x00, 0x00})};
    EXPECT_EQ(0, run(0, 3));
    EXPECT_EQ(std::tuple(out_, tape_.positions_read, tape_.ready_tests, seconds_taken()),
              std::tuple(" - seeking to tape program number 3\n\n", 1, 0, 0u));
}

TEST_F(SeekLoop, LocateRefusedOrFirstPositionUnreadable) {
    tape_.locate_accepted = false;
    EXPECT_EQ(-1, run());
    EXPECT_EQ(std::tie(out_, tape_.positions_read),
              std::tuple(" - seeking to tape time 00:18:48:00\nSeek failed ffffffff\n", 0));

    // A first READ POSITION that fails leaves the tape to the job.
    tape_.locate_accepted = true;
    tape_.positions = {{kMediumError, {}}};
    EXPECT_EQ(0, run());
    EXPECT_EQ(std::tie(out_, tape_.ready_tests),
              std::tuple(" - seeking to tape time 00:18:48:00\n\n", 0));
}

// Polls are 1.1 s apart on the fake clock (1 s sleep, 0.1 s drive wait).
TEST_F(SeekLoop, ReadyDriveStandstillAndEndOfData) {
    // what, the positions shown, ready after how many, result, the console's end, seconds
    const std::tuple<const char*, std::vector<PositionAnswer>, int, int, const char*, uint32_t>
        cases[] = {
            {"ready while moving", winding(10), 4, 0, "ABSTIME: 00:01:03:00\r\n", 3},
            {"ready 7 polls after moving", winding(3), 11, 0, "ABSTIME: 00:01:03:00\r\n", 11},
            {"ready 10 polls after moving", winding(3), 14, -1, "\r\n\nSeek failed 0\n", 14},
            // 2 moving polls, then standing until 30 s have passed
            {"standing 30 s", winding(2), -1, -1, "ABSTIME: 00:01:02:00\r\n\nSeek failed 0\n", 33},
            {"end of data", then(winding(2), kStatusEndOfData), -1, -1,
             "ABSTIME: 00:01:02:00\rReached end of tape...", 3},
            {"end of data at once", then({}, kStatusEndOfData), -1, -1,
             "00:18:48:00\nReached end of tape...", 0},
            // A failed read delivers no record; its zeros must not pass for a moving tape.
            {"failed read after a standstill", then(winding(1), kMediumError, 12), -1, -1,
             "ABSTIME: 00:01:01:00\r\n\nSeek failed 4031100\n", 15},
        };
    for (const auto& [name, positions, ready_after, result, ends, seconds] : cases) {
        SCOPED_TRACE(name);
        tape_ = FakeTape{};
        tape_.positions = positions;
        tape_.ready_after_positions = ready_after;
        EXPECT_EQ(result, run());
        EXPECT_THAT(out_, EndsWith(ends));
        EXPECT_EQ(seconds_taken(), seconds);
    }
}

}  // namespace
