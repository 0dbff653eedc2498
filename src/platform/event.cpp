#include "platform/event.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "platform/clock.h"

namespace {

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Non-blocking, so that a reset of an event that was never signalled returns at once.
int real_create() {
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

// The timeout is in the program's clock, which TERVANO_TIME_SCALE may run faster.
int real_wait(int event, uint32_t timeout_ms) {
    const uint64_t deadline = monotonic_ms() + platform_real_ms(timeout_ms);
    for (;;) {
        uint64_t now = monotonic_ms();
        uint64_t left = now >= deadline ? 0 : deadline - now;
        // poll takes a signed int: long waits go in slices.
        int slice = left > 1000000u ? 1000000 : static_cast<int>(left);
        pollfd entry{event, POLLIN, 0};
        int ready = poll(&entry, 1, slice);
        if (ready > 0) return 1;
        if (ready < 0 && errno != EINTR) return 0;
        if (left == 0 || (ready == 0 && left == static_cast<uint64_t>(slice))) return 0;
    }
}

const EventOps kRealOps{real_create, real_wait};
const EventOps* g_ops = &kRealOps;

}  // namespace

int platform_event_create() {
    return g_ops->create();
}

int platform_event_wait(int event, uint32_t timeout_ms) {
    if (event < 0) return 0;
    return g_ops->wait(event, timeout_ms);
}

void platform_event_signal(int event) {
    if (event < 0) return;
    uint64_t one = 1;
    ssize_t written = write(event, &one, sizeof one);
    (void)written;  // a full counter is already signalled
}

void platform_event_reset(int event) {
    if (event < 0) return;
    uint64_t count = 0;
    ssize_t got = read(event, &count, sizeof count);
    (void)got;  // EAGAIN: it was not signalled
}

void platform_event_close(int event) {
    if (event >= 0) close(event);
}

const EventOps* platform_set_event_ops(const EventOps* ops) {
    const EventOps* previous = g_ops;
    g_ops = ops ? ops : &kRealOps;
    return previous;
}
