#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "fake_tape.h"
#include "jobs/seek.h"

namespace {

using testing::EndsWith;

constexpr ScsiStatus kMediumError = 0x04031100u;

// A tape winding one absolute-time frame per poll, `moves` polls long, then standing.
std::vector<PositionAnswer> winding(int moves) {
    std::vector<PositionAnswer> answers;
    for (int i = 0; i <= moves; ++i) {
        answers.push_back(
            position(1, {0x00, 0x01, static_cast<uint8_t>(i / 10 * 16 + i % 10), 0x00}));
    }
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
        start_ms_ = fake_now_ms();
        testing::internal::CaptureStdout();
        int result = seek_tape(&job_.input, &job_);
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    uint32_t seconds_taken() const { return (fake_now_ms() - start_ms_) / 1000u; }

    FakeTape tape_;
    JobState job_{};
    std::string out_;
    uint32_t start_ms_ = 0;
};

TEST_F(SeekLoop, TargetShownAtTheFirstPollEndsWithoutWaiting) {
    tape_.positions = {position(3, {0x00, 0x05, 0x00, 0x00})};
    EXPECT_EQ(0, run(0, 3));
    EXPECT_EQ(" - seeking to tape program number 3\n\n", out_);
    EXPECT_EQ(1, tape_.positions_read);
    EXPECT_EQ(0, tape_.ready_tests);
    EXPECT_EQ(0u, seconds_taken());
}

TEST_F(SeekLoop, LocateRefusedOrFirstPositionUnreadable) {
    tape_.locate_accepted = false;
    EXPECT_EQ(-1, run());
    EXPECT_EQ(" - seeking to tape time 00:18:48:00\nSeek failed ffffffff\n", out_);
    EXPECT_EQ(0, tape_.positions_read);

    // A first READ POSITION that fails leaves the tape to the job.
    tape_.locate_accepted = true;
    tape_.positions = {{kMediumError, {}}};
    EXPECT_EQ(0, run());
    EXPECT_EQ(" - seeking to tape time 00:18:48:00\n\n", out_);
    EXPECT_EQ(0, tape_.ready_tests);
}

// Polls are 1.1 s apart on the fake clock (1 s sleep, 0.1 s drive wait).
TEST_F(SeekLoop, ReadyDriveStandstillAndEndOfData) {
    const struct {
        const char* name;
        std::vector<PositionAnswer> positions;
        int ready_after;
        int result;
        const char* ends;
    } cases[] = {
        {"ready while moving", winding(10), 4, 0, "ABSTIME: 00:01:03:00\r\n"},
        {"ready 7 polls after the last move", winding(3), 11, 0, "ABSTIME: 00:01:03:00\r\n"},
        {"ready 10 polls after it", winding(3), 14, -1, "\r\n\nSeek failed 0\n"},
        {"standing 30 s", winding(2), -1, -1, "ABSTIME: 00:01:02:00\r\n\nSeek failed 0\n"},
        {"end of data", then(winding(2), kStatusEndOfData), -1, -1,
         "ABSTIME: 00:01:02:00\rReached end of tape..."},
        {"end of data at once", then({}, kStatusEndOfData), -1, -1,
         "00:18:48:00\nReached end of tape..."},
        // A failed read delivers no record; its zeros must not pass for a moving tape.
        {"failed read after a standstill", then(winding(1), kMediumError, 12), -1, -1,
         "ABSTIME: 00:01:01:00\r\n\nSeek failed 4031100\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tape_ = FakeTape{};
        tape_.positions = c.positions;
        tape_.ready_after_positions = c.ready_after;
        EXPECT_EQ(c.result, run());
        EXPECT_THAT(out_, EndsWith(c.ends));
    }
    // The standing tape: 2 moving polls, then standing until 30 s have passed.
    tape_ = FakeTape{};
    tape_.positions = winding(2);
    run();
    EXPECT_GE(seconds_taken(), 32u);
    EXPECT_LE(seconds_taken(), 33u);
}

}  // namespace
