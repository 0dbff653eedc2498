#include "core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// The log is opened and closed per message so that it is complete on disk whatever
// happens to the process later. It is written from the main thread and from the wave
// output device's thread; each call has its own buffer and its own open, write and close.

namespace {

constexpr char kLogFileName[] = "log.txt";
constexpr size_t kMessageBufferSize = 500;

// Read by the device thread while RecVerbose may write it.
std::atomic<int32_t> verbose_level{0};
constexpr int32_t kLogThreshold = 0;

void append_to_log(const char* text, size_t length) {
    FILE* file = fopen(kLogFileName, "a+");
    if (!file) return;  // an unwritable log must not disturb the caller
    fwrite(text, 1, length, file);
    fclose(file);
}

}  // namespace

void log_message(const char* format, ...) {
    if (verbose_level.load() < kLogThreshold) return;

    char buffer[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    int needed = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(retry);
        return;
    }

    size_t length = static_cast<size_t>(needed);
    if (length < sizeof buffer) {
        va_end(retry);
        append_to_log(buffer, length);
        return;
    }

    // A long message is written whole rather than cut off mid-diagnostic; only when the
    // larger buffer cannot be had does the log get the first 499 characters.
    char* whole = static_cast<char*>(malloc(length + 1));
    if (whole && vsnprintf(whole, length + 1, format, retry) == needed) {
        append_to_log(whole, length);
    } else {
        append_to_log(buffer, sizeof buffer - 1);
    }
    va_end(retry);
    free(whole);
}

extern "C" int32_t RecVerbose(int32_t level) {
    verbose_level.store(level);
    return level;
}
