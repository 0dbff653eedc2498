#include "fake_wave_device.h"

#include <algorithm>

FakeWaveDevice g_fake_device;
FakeClock g_fake_clock;

namespace {

HWAVEOUT fake_handle() {
    return reinterpret_cast<HWAVEOUT>(&g_fake_device);
}

MMRESULT record(const char* name) {
    g_fake_device.calls.push_back(name);
    auto it = g_fake_device.refuse.find(name);
    return it == g_fake_device.refuse.end() ? MMSYSERR_NOERROR : it->second;
}

void set_flags(WAVEHDR* header, uint32_t set, uint32_t clear) {
    __atomic_store_n(&header->dwFlags, (header->dwFlags & ~clear) | set, __ATOMIC_RELEASE);
}

MMRESULT fake_open(HWAVEOUT* handle, uint32_t, const WAVEFORMATEX* format, WaveOutProc, uintptr_t,
                   uint32_t flags) {
    g_fake_device.format = *format;
    MMRESULT r = record(flags & WAVE_FORMAT_QUERY ? "query" : "open");
    if (r != MMSYSERR_NOERROR || (flags & WAVE_FORMAT_QUERY)) return r;
    g_fake_device.open = true;
    *handle = fake_handle();
    return r;
}

MMRESULT fake_reset(HWAVEOUT) {
    MMRESULT r = record("reset");
    if (r != MMSYSERR_NOERROR) return r;
    for (WAVEHDR* header : g_fake_device.queued) set_flags(header, WHDR_DONE, WHDR_INQUEUE);
    g_fake_device.queued.clear();
    return r;
}

MMRESULT fake_pause(HWAVEOUT) {
    return record("pause");
}
MMRESULT fake_restart(HWAVEOUT) {
    return record("restart");
}

MMRESULT fake_prepare(HWAVEOUT, WAVEHDR* header, uint32_t) {
    MMRESULT r = record("prepare");
    if (r == MMSYSERR_NOERROR) set_flags(header, WHDR_PREPARED, 0);
    return r;
}

MMRESULT fake_unprepare(HWAVEOUT, WAVEHDR* header, uint32_t) {
    MMRESULT r = record("unprepare");
    if (r != MMSYSERR_NOERROR) return r;
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    set_flags(header, 0, WHDR_PREPARED);
    return r;
}

MMRESULT fake_write(HWAVEOUT, WAVEHDR* header, uint32_t) {
    MMRESULT r = record("write");
    if (r != MMSYSERR_NOERROR) return r;
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    set_flags(header, WHDR_INQUEUE, WHDR_DONE);
    g_fake_device.queued.push_back(header);
    g_fake_device.written.push_back(header);
    g_fake_device.sent.insert(g_fake_device.sent.end(), header->lpData,
                              header->lpData + header->dwBufferLength);
    return r;
}

MMRESULT fake_close(HWAVEOUT) {
    MMRESULT r = record("close");
    if (!g_fake_device.queued.empty()) return WAVERR_STILLPLAYING;
    g_fake_device.open = false;
    return r;
}

const WaveOutDriver kFakeDriver{fake_open,    fake_reset, fake_pause,     fake_restart,
                                fake_prepare, fake_write, fake_unprepare, fake_close};

uint32_t fake_now() {
    return g_fake_clock.now;
}

void fake_sleep(uint32_t ms) {
    g_fake_clock.now += ms;
    g_fake_clock.sleeps.push_back(ms);
    if (g_fake_clock.on_sleep) g_fake_clock.on_sleep();
}

const PlatformClock kFakeClock{fake_now, fake_sleep};

}  // namespace

void install_fakes() {
    g_fake_device = FakeWaveDevice{};
    g_fake_clock = FakeClock{};
    wave_out_set_driver(&kFakeDriver);
    platform_set_clock(&kFakeClock);
}

void remove_fakes() {
    wave_out_set_driver(nullptr);
    platform_set_clock(nullptr);
}

void fake_finish_buffers(int count) {
    for (; count > 0 && !g_fake_device.queued.empty(); --count) {
        set_flags(g_fake_device.queued.front(), WHDR_DONE, WHDR_INQUEUE);
        g_fake_device.queued.pop_front();
    }
}

int fake_call_count(const char* name) {
    return static_cast<int>(
        std::count(g_fake_device.calls.begin(), g_fake_device.calls.end(), name));
}
