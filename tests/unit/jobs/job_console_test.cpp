// The status line on a terminal, limited to 20 a second: which frames' lines show.

#include "jobs/job_console.h"

#include <gtest/gtest.h>

#include <string>

#include "frame/subcode_reader.h"
#include "platform/clock.h"

namespace {

uint32_t g_now_ms;
uint32_t now_ms() {
    return g_now_ms;
}
void no_sleep(uint32_t) {}
const PlatformClock kFakeClock = {now_ms, no_sleep};

std::string line_of(int program) {
    JobState job{};
    job.abs_time_pno = program;
    testing::internal::CaptureStdout();
    print_status_line(&job);
    return testing::internal::GetCapturedStdout();
}

TEST(StatusLineLimit, ShowsTwentyASecondAndTheLastFrameBeforeAnyOtherLine) {
    const struct {
        bool limit;
        std::string expected;
    } cases[] = {
        // frames 1-6 at 0, 10, 49, 50, 60 and 130 ms, then a message after frame 6
        {false,
         line_of(1) + line_of(2) + line_of(3) + line_of(4) + line_of(5) + line_of(6) + "\nend\n"},
        {true, "\r" + line_of(1) + "\r" + line_of(4) + "\r" + line_of(6) + "\nend\n"},
    };
    const PlatformClock* saved = platform_set_clock(&kFakeClock);
    for (const auto& c : cases) {
        status_line_limit(c.limit);
        testing::internal::CaptureStdout();
        const uint32_t times[] = {0, 10, 49, 50, 60, 130};
        for (int program = 1; program <= 6; ++program) {
            g_now_ms = 0xFFFFFFF0u + times[program - 1];  // across the clock's wrap
            JobState job{};
            job.abs_time_pno = program;
            show_status_line(&job);
        }
        g_now_ms += 10;  // frame 6 was shown at once: nothing left to show
        print_line("end\n");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected) << c.limit;
    }
    // A skipped line is shown from the frame it belongs to, whatever came after it.
    const std::string expected = "\r" + line_of(7) + "\r" + line_of(8) + "\nend\n";
    status_line_limit(true);
    testing::internal::CaptureStdout();
    JobState job{};
    job.abs_time_pno = 7;
    g_now_ms = 1000;
    show_status_line(&job);
    g_now_ms = 1020;
    job.abs_time_pno = 8;
    show_status_line(&job);
    job.abs_time_pno = 9;
    print_line("end\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    status_line_limit(false);
    platform_set_clock(saved);
}

}  // namespace
