#include "platform/clock.h"

#include <time.h>

namespace {

uint32_t real_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void real_sleep_ms(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

const PlatformClock kRealClock{real_now_ms, real_sleep_ms};
const PlatformClock* g_clock = &kRealClock;

}  // namespace

uint32_t platform_now_ms() { return g_clock->now_ms(); }
void platform_sleep_ms(uint32_t ms) { g_clock->sleep_ms(ms); }
uint32_t platform_now_seconds() { return g_clock->now_ms() / 1000u; }

const PlatformClock* platform_set_clock(const PlatformClock* clock) {
    const PlatformClock* previous = g_clock;
    g_clock = clock ? clock : &kRealClock;
    return previous;
}
