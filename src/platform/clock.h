#pragma once
#include <cstdint>

// The program's one clock and one sleep. Tests replace them with a fake clock so that
// waits of 60 s, 15 s or 2 s cost nothing.
struct PlatformClock {
    uint32_t (*now_ms)();  // milliseconds, wrapping like timeGetTime
    void (*sleep_ms)(uint32_t ms);
    uint32_t (*device_now_ms)() = nullptr;  // optional: now_ms when absent
};

uint32_t platform_now_ms();
void platform_sleep_ms(uint32_t ms);
// The time of a device that runs at its own real pace, such as the audio device: how long
// it has been given is measured on this clock, which TERVANO_TIME_SCALE does not speed
// up (a scaled 15 seconds would let a device that is merely not scheduled for 15 ms
// count as stuck). A test clock without its own device time stands for both.
uint32_t platform_device_now_ms();
// Whole seconds of the same clock.
uint32_t platform_now_seconds();
// Real milliseconds that ms of the program's clock take: fewer under TERVANO_TIME_SCALE.
// For waits that the system times itself, such as the wait for a request's event.
uint32_t platform_real_ms(uint32_t ms);

// Installs another clock (nullptr restores the real one); returns the previous one.
const PlatformClock* platform_set_clock(const PlatformClock* clock);

// A local calendar date and time of day.
struct LocalTime {
    int year;  // e.g. 2002
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int weekday;  // 0 = Sunday ... 6 = Saturday
};

// The local date and time now. TERVANO_LOCAL_TIME (tests only), when set to
// "YYYY-MM-DD hh:mm:ss" with a real date, fixes it; anything else is ignored.
void platform_local_time(LocalTime* out);
