#include "jobs/job_console.h"

#include <cstdarg>
#include <cstdio>

#include "frame/subcode_reader.h"

namespace {

bool g_line_open = false;  // one console

}  // namespace

void show_status_line(const JobState* job) {
    print_status_line(job);
    g_line_open = true;
}

void status_line_closed() {
    g_line_open = false;
}

void print_line(const char* format, ...) {
    if (g_line_open) printf("\n");
    g_line_open = false;
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
}
