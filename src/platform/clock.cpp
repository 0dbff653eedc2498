#include "platform/clock.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>

namespace {

constexpr uint32_t kMaxTimeScale = 10000;
constexpr uint32_t kScaledStartMs = 1000000;

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

struct TimeScale {
    uint32_t factor;
    uint64_t origin_ms;  // a scaled clock counts from the first reading
};

// TERVANO_TIME_SCALE (tests only): a whole number N from 2 to 10000 makes the program's
// clock run N times faster, so sleeps take 1/N of the time and elapsed time counts N
// times over. A scaled clock starts at 1000 s, so that it cannot wrap during a test run.
// Anything else leaves the clock at real speed.
const TimeScale& time_scale() {
    static const TimeScale scale = [] {
        TimeScale result{1, 0};
        const char* text = getenv("TERVANO_TIME_SCALE");
        if (!text || !*text) return result;
        char* end = nullptr;
        unsigned long value = strtoul(text, &end, 10);
        if (*end != '\0' || value < 2 || value > kMaxTimeScale) return result;
        result.factor = static_cast<uint32_t>(value);
        result.origin_ms = monotonic_ms();
        return result;
    }();
    return scale;
}

uint32_t real_now_ms() {
    const TimeScale& scale = time_scale();
    return static_cast<uint32_t>((monotonic_ms() - scale.origin_ms) * scale.factor +
                                 (scale.factor > 1 ? kScaledStartMs : 0));
}

void real_sleep_ms(uint32_t ms) {
    uint64_t ns = static_cast<uint64_t>(ms) * 1000000u / time_scale().factor;
    timespec ts{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

uint32_t unscaled_now_ms() {
    return static_cast<uint32_t>(monotonic_ms());
}

const PlatformClock kRealClock{real_now_ms, real_sleep_ms, unscaled_now_ms};
const PlatformClock* g_clock = &kRealClock;

}  // namespace

uint32_t platform_now_ms() {
    return g_clock->now_ms();
}
void platform_sleep_ms(uint32_t ms) {
    g_clock->sleep_ms(ms);
}
uint32_t platform_device_now_ms() {
    return g_clock->device_now_ms ? g_clock->device_now_ms() : g_clock->now_ms();
}
uint32_t platform_now_seconds() {
    return g_clock->now_ms() / 1000u;
}

uint32_t platform_real_ms(uint32_t ms) {
    uint32_t factor = time_scale().factor;
    return ms / factor + (ms % factor != 0 ? 1 : 0);
}

const PlatformClock* platform_set_clock(const PlatformClock* clock) {
    const PlatformClock* previous = g_clock;
    g_clock = clock ? clock : &kRealClock;
    return previous;
}

namespace {

bool fixed_local_time(LocalTime* out) {
    const char* text = getenv("TERVANO_LOCAL_TIME");
    if (!text || !*text) return false;
    LocalTime t{};
    char tail = 0;
    if (sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute,
               &t.second, &tail) != 6) {
        return false;
    }
    using namespace std::chrono;
    const year_month_day date{year{t.year}, month{static_cast<unsigned>(t.month)},
                              day{static_cast<unsigned>(t.day)}};
    const bool clock_ok = t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
                          t.second >= 0 && t.second <= 59;
    if (!date.ok() || !clock_ok) return false;
    t.weekday = static_cast<int>(weekday{sys_days{date}}.c_encoding());
    *out = t;
    return true;
}

}  // namespace

void platform_local_time(LocalTime* out) {
    if (fixed_local_time(out)) return;
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    *out = LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min,         local.tm_sec,     local.tm_wday};
}
