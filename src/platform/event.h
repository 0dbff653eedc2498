#pragma once
#include <cstdint>

// The completion event of an ASPI request: an eventfd here (a Win32 event on Windows).
// Another thread or a library signals it; the waiting thread resets it.

struct EventOps {
    int (*create)();                              // the event, or -1
    int (*wait)(int event, uint32_t timeout_ms);  // 1 signalled, 0 timed out
};

int platform_event_create();
// 1 when the event was signalled within timeout_ms, 0 otherwise.
int platform_event_wait(int event, uint32_t timeout_ms);
void platform_event_signal(int event);
void platform_event_reset(int event);
void platform_event_close(int event);

// Tests replace creation and waiting (nullptr restores the real ones); returns the
// previous table.
const EventOps* platform_set_event_ops(const EventOps* ops);
