// The status line on a terminal, limited to 20 a second: which frames' lines show.

#include "jobs/job_console.h"

#include <gtest/gtest.h>

#include <string>

#include "frame/subcode_reader.h"
#include "platform/clock.h"

namespace {

uint32_t g_now_ms;
const PlatformClock kFakeClock = {[] { return g_now_ms; }, [](uint32_t) {}};

std::string line_of(int program) {
    JobState job{};
    job.abs_time_pno = program;
    testing::internal::CaptureStdout();
    print_status_line(&job);
    return testing::internal::GetCapturedStdout();
}

TEST(StatusLineLimit, ShowsTwentyASecondAndTheLastFrameBeforeAnyOtherLine) {
    std::string all;
    for (int program = 1; program <= 6; ++program) all += line_of(program);
    // Frames 1-6 at 0, 10, 49, 50, 60 and 70 ms, across the clock's wrap; then a message,
    // when the live status already belongs to a later read: frame 6's line shows first.
    const std::pair<bool, std::string> cases[] = {
        {false, all + "\nend\n"},
        {true, "\r" + line_of(1) + "\r" + line_of(4) + "\r" + line_of(6) + "\nend\n"},
    };
    const PlatformClock* saved = platform_set_clock(&kFakeClock);
    for (const auto& [limit, expected] : cases) {
        status_line_limit(limit);
        testing::internal::CaptureStdout();
        JobState job{};
        const uint32_t times[] = {0, 10, 49, 50, 60, 70};
        for (int program = 1; program <= 6; ++program) {
            g_now_ms = 0xFFFFFFF0u + times[program - 1];
            job.abs_time_pno = program;
            show_status_line(&job);
        }
        job.abs_time_pno = 7;
        print_line("end\n");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << limit;
    }
    status_line_limit(false);
    platform_set_clock(saved);
}

}  // namespace
