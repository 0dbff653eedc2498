#include "jobs/job_console.h"

#include <cstdarg>
#include <cstdio>

#include "frame/subcode_reader.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kStatusIntervalMs = 50;  // 20 lines a second

// One console.
bool g_line_open = false;
struct StatusLimit {
    bool on;
    bool shown;  // a line has been shown since the limit went on
    uint32_t shown_ms;
    bool pending;        // a frame's line was skipped since
    JobState last_line;  // the live status of that frame
} g_limit;

void show_now(const JobState* job) {
    fputs("\r", stdout);
    print_status_line(job);
    g_limit.shown = true;
    g_limit.shown_ms = platform_now_ms();
    g_limit.pending = false;
}

}  // namespace

void show_status_line(const JobState* job) {
    g_line_open = true;
    if (!g_limit.on) {
        print_status_line(job);
        return;
    }
    if (g_limit.shown && platform_now_ms() - g_limit.shown_ms < kStatusIntervalMs) {
        g_limit.last_line = *job;
        g_limit.pending = true;
        return;
    }
    show_now(job);
}

void status_line_limit(bool on) {
    g_limit = StatusLimit{};
    g_limit.on = on;
}

void status_line_flush() {
    if (g_limit.pending) show_now(&g_limit.last_line);
}

void take_subcode(const AudioFrame* frame, JobState* job) {
    if (g_limit.on) {
        decode_subcode(frame, job);
    } else {
        read_subcode(frame, job);
    }
}

void status_line_closed() {
    g_line_open = false;
}

void print_line(const char* format, ...) {
    status_line_flush();
    if (g_line_open) printf("\n");
    g_line_open = false;
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
}
