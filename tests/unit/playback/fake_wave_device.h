#pragma once
// A wave output device and a clock under the test's control. The device records every
// call by name, gives the result the test set for that name, and finishes written buffers
// only when told to. The clock moves only by the sleeps asked of it.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/wave_out.h"

struct FakeWaveDevice {
    // "query", "open", "reset", "pause", "restart", "prepare", "unprepare", "write", "close"
    std::map<std::string, MMRESULT> refuse;
    std::vector<std::string> calls;
    bool open = false;
    WAVEFORMATEX format{};
    std::deque<WAVEHDR*> queued;    // written, not yet finished
    std::vector<WAVEHDR*> written;  // every accepted write, in order
    std::vector<uint8_t> sent;      // the bytes of every accepted write, in order
};

struct FakeClock {
    uint32_t now = 1000;
    std::vector<uint32_t> sleeps;
    std::function<void()> on_sleep;  // runs after the time has moved on
};

extern FakeWaveDevice g_fake_device;
extern FakeClock g_fake_clock;

// Reset the fakes and install them; remove_fakes puts ALSA and the real clock back.
void install_fakes();
void remove_fakes();

// Finishes up to count queued buffers, oldest first.
void fake_finish_buffers(int count);
int fake_call_count(const char* name);
