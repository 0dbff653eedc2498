#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "fake_tape.h"
#include "jobs/seek.h"

namespace {

using testing::EndsWith;

// A tape winding one absolute-time frame per poll, `moves` polls long, then standing.
std::vector<PositionAnswer> winding(int moves) {
    std::vector<PositionAnswer> answers;
    for (int i = 0; i <= moves; ++i) {
        answers.push_back(
            position(1, {0x00, 0x01, static_cast<uint8_t>(i / 10 * 16 + i % 10), 0x00}));
    }
    return answers;
}

class SeekLoop : public testing::Test {
protected:
    void SetUp() override {
        job_.seek_kind = 1;
        job_.seek_target = 0x00123000;  // 0:18:48:00, never shown by these tapes
        fake_tape_install(&tape_);
    }
    void TearDown() override { fake_tape_remove(); }

    int run() {
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
    job_.seek_kind = 0;
    job_.seek_target = 3;
    tape_.positions = {position(3, {0x00, 0x05, 0x00, 0x00})};
    EXPECT_EQ(0, run());
    EXPECT_EQ(" - seeking to tape program number 3\n\n", out_);
    EXPECT_EQ(1, tape_.positions_read);
    EXPECT_EQ(0, tape_.ready_tests);
    EXPECT_EQ(0u, seconds_taken());
    std::vector<uint8_t> locate{0x2B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    EXPECT_EQ(locate, tape_.locate_cdb);
}

TEST_F(SeekLoop, TargetReachedWhileWinding) {
    job_.seek_target = 0x00010300;  // 0:01:03:00
    tape_.positions = winding(5);
    EXPECT_EQ(0, run());
    EXPECT_EQ(4, tape_.positions_read);
    EXPECT_EQ(
        " - seeking to tape time 00:01:03:00\n"
        "   - Present seek position: PROGNUM: 001, ABSTIME: 00:01:01:00\r"
        "   - Present seek position: PROGNUM: 001, ABSTIME: 00:01:02:00\r"
        "   - Present seek position: PROGNUM: 001, ABSTIME: 00:01:03:00\r\n",
        out_);
}

TEST_F(SeekLoop, DriveReadyWhileMovingIsDone) {
    tape_.positions = winding(10);
    tape_.ready_after_positions = 4;
    EXPECT_EQ(0, run());
    EXPECT_EQ(4, tape_.positions_read);
    EXPECT_EQ(4, tape_.ready_tests);
}

TEST_F(SeekLoop, TenSecondRuleDecidesAReadyDrive) {
    tape_.positions = winding(3);
    tape_.ready_after_positions = 11;  // 7 polls of 1.1 s after the last move
    EXPECT_EQ(0, run());
    EXPECT_EQ(std::string::npos, out_.find("Seek failed"));

    fake_tape_remove();
    tape_ = FakeTape{};
    fake_tape_install(&tape_);
    tape_.positions = winding(3);
    tape_.ready_after_positions = 14;  // 10 polls after it
    EXPECT_EQ(-1, run());
    EXPECT_THAT(out_, EndsWith("\r\n\nSeek failed 0\n"));
}

TEST_F(SeekLoop, TapeStandingForThirtySecondsFails) {
    tape_.positions = winding(2);
    EXPECT_EQ(-1, run());
    EXPECT_THAT(out_, EndsWith("\r\n\nSeek failed 0\n"));
    // 2 moving rounds of 1.1 s, then standing until 30 s have passed
    EXPECT_GE(seconds_taken(), 32u);
    EXPECT_LE(seconds_taken(), 33u);
}

TEST_F(SeekLoop, EndOfDataEndsTheSeekAtOnce) {
    tape_.positions = winding(2);
    tape_.positions.push_back(position_failure(kStatusEndOfData));
    EXPECT_EQ(-1, run());
    EXPECT_THAT(out_, EndsWith("ABSTIME: 00:01:02:00\rReached end of tape..."));

    // also when the drive is already there at the first poll
    fake_tape_remove();
    tape_ = FakeTape{};
    fake_tape_install(&tape_);
    tape_.positions = {position_failure(kStatusEndOfData)};
    EXPECT_EQ(-1, run());
    EXPECT_EQ(" - seeking to tape time 00:18:48:00\nReached end of tape...", out_);
}

TEST_F(SeekLoop, LocateRefused) {
    tape_.locate_accepted = false;
    EXPECT_EQ(-1, run());
    EXPECT_EQ(" - seeking to tape time 00:18:48:00\nSeek failed ffffffff\n", out_);
    EXPECT_EQ(0, tape_.positions_read);
}

TEST_F(SeekLoop, FirstPositionReadFailingLeavesTheTapeToTheJob) {
    tape_.positions = {position_failure(0x04031100)};
    EXPECT_EQ(0, run());
    EXPECT_EQ(" - seeking to tape time 00:18:48:00\n\n", out_);
    EXPECT_EQ(0, tape_.ready_tests);
}

// A failed read delivers no record; its zeros must not pass for a moving tape.
TEST_F(SeekLoop, FailedReadAfterAStandstillIsNoMovement) {
    tape_.positions = winding(1);
    for (int i = 0; i < 12; ++i) tape_.positions.push_back(tape_.positions.back());
    tape_.positions.push_back(position_failure(0x04031100));
    EXPECT_EQ(-1, run());
    EXPECT_THAT(out_, EndsWith("ABSTIME: 00:01:01:00\r\n\nSeek failed 4031100\n"));
}

}  // namespace
