#pragma once
#include <cstdint>

// Appends a printf-formatted message to "log.txt" unless the log is silenced.
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

extern "C" int32_t RecVerbose(int32_t level);
