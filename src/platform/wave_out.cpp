#include "platform/wave_out.h"

#include <alsa/asoundlib.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

// One open device: a queue of written headers and a feeder thread that copies their
// bytes, a chunk at a time, into ALSA. Every ALSA call after the open is made by the
// feeder thread, or by the closer once the feeder has stopped.

namespace {

constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr uint32_t kChunkFrames = 1024;
constexpr uint32_t kChunkBytes = kChunkFrames * kFrameBytes;
constexpr unsigned kAlsaLatencyUs = 500000;
constexpr int kWaitSliceMs = 50;
// A device that takes no frame for this long is given up: it takes no more buffers, and
// the producer's own timeout reports it.
constexpr int kStuckMs = 2000;

}  // namespace

struct WaveOutDevice {
    snd_pcm_t* pcm;
    WaveOutProc callback;
    uintptr_t instance;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<WAVEHDR*> queue;
    uint32_t front_taken;  // bytes of queue.front() already copied out
    bool paused;
    bool closing;
    bool broken;        // ALSA failed for good
    bool drop_pending;  // a reset threw queued audio away: ALSA's buffer goes too
    std::atomic<uint64_t> discards;

    pthread_t feeder;
    uint8_t chunk[kChunkBytes];
};

namespace {

void set_header_flags(WAVEHDR* header, uint32_t flags) {
    __atomic_store_n(&header->dwFlags, flags, __ATOMIC_RELEASE);
}

void notify(WaveOutDevice* device, uint32_t message, uintptr_t param1) {
    if (device->callback) device->callback(device, message, device->instance, param1, 0);
}

// ALSA's own diagnostics would land in the middle of the console's progress line; the
// failures reach the caller as results instead.
void silent_alsa_error(const char*, int, const char*, int, const char*, ...) {}

const char* alsa_device_name() {
    const char* name = getenv("TERVANO_AUDIO_DEVICE");
    return (name && name[0]) ? name : "default";
}

// The words for the last failure to open the device, and the result they explain. Only
// the producer's thread opens.
char g_problem[200];
MMRESULT g_problem_result = MMSYSERR_NOERROR;

MMRESULT note_problem(MMRESULT result, const char* what) {
    snprintf(g_problem, sizeof g_problem, "ALSA device \"%s\" %s", alsa_device_name(), what);
    g_problem_result = result;
    return result;
}

MMRESULT result_of_open_error(int err) {
    switch (-err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return MMSYSERR_BADDEVICEID;
        case EBUSY:
        case EAGAIN:
            return MMSYSERR_ALLOCATED;
        case ENOMEM:
            return MMSYSERR_NOMEM;
        default:
            return MMSYSERR_ERROR;
    }
}

bool format_is_ours(const WAVEFORMATEX* f) {
    return f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels == 2 && f->wBitsPerSample == 16 &&
           f->nBlockAlign == kFrameBytes && f->nSamplesPerSec > 0;
}

MMRESULT open_pcm(snd_pcm_t** pcm) {
    snd_lib_error_set_handler(silent_alsa_error);
    int err = snd_pcm_open(pcm, alsa_device_name(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err >= 0) return MMSYSERR_NOERROR;
    char what[160];
    snprintf(what, sizeof what, "cannot be opened: %s", snd_strerror(err));
    return note_problem(result_of_open_error(err), what);
}

// Resampling stays allowed, as the wave mapper converts rates too.
bool configure_pcm(snd_pcm_t* pcm, uint32_t rate) {
    return snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, rate, 1,
                              kAlsaLatencyUs) == 0;
}

// The query sets the device up exactly as the open will, so the two never disagree.
MMRESULT query_rate(uint32_t rate) {
    snd_pcm_t* pcm = nullptr;
    MMRESULT result = open_pcm(&pcm);
    if (result != MMSYSERR_NOERROR) return result;
    result = configure_pcm(pcm, rate) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    snd_pcm_close(pcm);
    return result;
}

// Takes the next chunk of the front header into device->chunk. A header whose last byte
// has been taken is done and leaves the queue; it is returned through *finished.
uint32_t take_chunk(WaveOutDevice* device, WAVEHDR** finished) {
    WAVEHDR* header = device->queue.front();
    uint32_t left = header->dwBufferLength - device->front_taken;
    uint32_t count = left < kChunkBytes ? left : kChunkBytes;
    memcpy(device->chunk, header->lpData + device->front_taken, count);
    device->front_taken += count;
    *finished = nullptr;
    if (device->front_taken == header->dwBufferLength) {
        device->queue.pop_front();
        device->front_taken = 0;
        set_header_flags(header, (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE);
        *finished = header;
    }
    return count;
}

// Writes count bytes of the chunk; stops early when a reset discards the queue (the
// discards counter moves). Returns false when ALSA failed for good or took nothing for
// kStuckMs.
bool write_chunk(WaveOutDevice* device, uint32_t count, uint64_t discards) {
    snd_pcm_uframes_t frames = count / kFrameBytes;
    const uint8_t* at = device->chunk;
    int idle_ms = 0;
    while (frames > 0 && device->discards.load() == discards) {
        snd_pcm_sframes_t written = snd_pcm_writei(device->pcm, at, frames);
        if (written > 0) {
            frames -= static_cast<snd_pcm_uframes_t>(written);
            at += static_cast<size_t>(written) * kFrameBytes;
            idle_ms = 0;
        } else if (written == -EAGAIN || written == 0) {
            if (idle_ms >= kStuckMs) return false;
            if (snd_pcm_wait(device->pcm, kWaitSliceMs) <= 0) idle_ms += kWaitSliceMs;
        } else if (snd_pcm_recover(device->pcm, static_cast<int>(written), 1) < 0) {
            // -EPIPE (underrun) and -ESTRPIPE (suspend) recover; anything else is final.
            return false;
        }
    }
    return true;
}

void drop_alsa_buffer(WaveOutDevice* device) {
    snd_pcm_drop(device->pcm);
    snd_pcm_prepare(device->pcm);
}

bool feeder_has_work(const WaveOutDevice* device) {
    return device->closing || device->drop_pending ||
           (!device->paused && !device->broken && !device->queue.empty());
}

void* feed(void* argument) {
    auto* device = static_cast<WaveOutDevice*>(argument);
    std::unique_lock<std::mutex> guard(device->lock);
    for (;;) {
        device->wake.wait(guard, [device] { return feeder_has_work(device); });
        if (device->drop_pending) {
            device->drop_pending = false;
            guard.unlock();
            drop_alsa_buffer(device);
            guard.lock();
            continue;
        }
        if (device->closing) return nullptr;
        WAVEHDR* finished = nullptr;
        uint32_t count = take_chunk(device, &finished);
        uint64_t discards = device->discards.load();
        guard.unlock();
        if (finished) notify(device, WOM_DONE, reinterpret_cast<uintptr_t>(finished));
        bool alive = write_chunk(device, count, discards);
        guard.lock();
        if (!alive) device->broken = true;
    }
}

// Hands every queued header back, done. Called with the lock held; the headers are
// returned so that their WOM_DONE can be sent once the lock is released.
std::vector<WAVEHDR*> discard_queue(WaveOutDevice* device) {
    std::vector<WAVEHDR*> returned(device->queue.begin(), device->queue.end());
    for (WAVEHDR* header : returned) {
        set_header_flags(header, (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE);
    }
    if (!returned.empty()) {
        device->drop_pending = true;
        device->discards.fetch_add(1);
    }
    device->queue.clear();
    device->front_taken = 0;
    return returned;
}

void notify_returned(WaveOutDevice* device, const std::vector<WAVEHDR*>& returned) {
    for (WAVEHDR* header : returned) notify(device, WOM_DONE, reinterpret_cast<uintptr_t>(header));
}

MMRESULT alsa_open(HWAVEOUT* handle, uint32_t device_id, const WAVEFORMATEX* format,
                   WaveOutProc callback, uintptr_t instance, uint32_t flags) {
    if (device_id != WAVE_MAPPER && device_id != 0) return MMSYSERR_BADDEVICEID;
    if (!format) return MMSYSERR_INVALPARAM;
    if (!format_is_ours(format)) return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY) return query_rate(format->nSamplesPerSec);
    if (!handle) return MMSYSERR_INVALPARAM;

    snd_pcm_t* pcm = nullptr;
    MMRESULT result = open_pcm(&pcm);
    if (result != MMSYSERR_NOERROR) return result;
    if (!configure_pcm(pcm, format->nSamplesPerSec)) {
        snd_pcm_close(pcm);
        return WAVERR_BADFORMAT;
    }
    WaveOutDevice* device = new (std::nothrow) WaveOutDevice{};
    if (!device) {
        snd_pcm_close(pcm);
        return MMSYSERR_NOMEM;
    }
    device->pcm = pcm;
    device->callback = (flags & CALLBACK_FUNCTION) == CALLBACK_FUNCTION ? callback : nullptr;
    device->instance = instance;
    if (pthread_create(&device->feeder, nullptr, feed, device) != 0) {
        snd_pcm_close(pcm);
        delete device;
        return MMSYSERR_NOMEM;
    }
    *handle = device;
    notify(device, WOM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT alsa_reset(HWAVEOUT device) {
    if (!device) return MMSYSERR_INVALHANDLE;
    std::vector<WAVEHDR*> returned;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        returned = discard_queue(device);
    }
    device->wake.notify_all();
    notify_returned(device, returned);
    return MMSYSERR_NOERROR;
}

MMRESULT alsa_set_paused(HWAVEOUT device, bool paused) {
    if (!device) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->paused = paused;
    }
    device->wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT alsa_pause(HWAVEOUT device) {
    return alsa_set_paused(device, true);
}
MMRESULT alsa_restart(HWAVEOUT device) {
    return alsa_set_paused(device, false);
}

MMRESULT check_header(HWAVEOUT device, const WAVEHDR* header, uint32_t header_size) {
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!header || header_size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT alsa_prepare_header(HWAVEOUT device, WAVEHDR* header, uint32_t header_size) {
    MMRESULT result = check_header(device, header, header_size);
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard<std::mutex> guard(device->lock);
    set_header_flags(header, header->dwFlags | WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT alsa_unprepare_header(HWAVEOUT device, WAVEHDR* header, uint32_t header_size) {
    MMRESULT result = check_header(device, header, header_size);
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard<std::mutex> guard(device->lock);
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    set_header_flags(header, header->dwFlags & ~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT alsa_write(HWAVEOUT device, WAVEHDR* header, uint32_t header_size) {
    MMRESULT result = check_header(device, header, header_size);
    if (result != MMSYSERR_NOERROR) return result;
    // The device works in whole frames.
    if (!header->lpData || header->dwBufferLength % kFrameBytes != 0) return MMSYSERR_INVALPARAM;
    bool empty = header->dwBufferLength == 0;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
        if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
        if (empty) {
            set_header_flags(header, header->dwFlags | WHDR_DONE);
        } else {
            set_header_flags(header, (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE);
            device->queue.push_back(header);
        }
    }
    if (empty) {
        notify(device, WOM_DONE, reinterpret_cast<uintptr_t>(header));
    } else {
        device->wake.notify_all();
    }
    return MMSYSERR_NOERROR;
}

// Audio already taken plays out unless a reset threw queued audio away.
void finish_alsa(WaveOutDevice* device) {
    if (device->drop_pending || device->broken) {
        snd_pcm_drop(device->pcm);
    } else {
        snd_pcm_nonblock(device->pcm, 0);
        snd_pcm_drain(device->pcm);
    }
    snd_pcm_close(device->pcm);
}

MMRESULT alsa_close(HWAVEOUT device) {
    if (!device) return MMSYSERR_INVALHANDLE;
    std::vector<WAVEHDR*> returned;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        returned = discard_queue(device);
        device->closing = true;
    }
    device->wake.notify_all();
    pthread_join(device->feeder, nullptr);
    notify_returned(device, returned);
    finish_alsa(device);
    notify(device, WOM_CLOSE, 0);
    delete device;
    return MMSYSERR_NOERROR;
}

const WaveOutDriver kAlsaDriver{alsa_open,
                                alsa_reset,
                                alsa_pause,
                                alsa_restart,
                                alsa_prepare_header,
                                alsa_write,
                                alsa_unprepare_header,
                                alsa_close};
const WaveOutDriver* g_driver = &kAlsaDriver;

}  // namespace

const WaveOutDriver* wave_out_set_driver(const WaveOutDriver* driver) {
    const WaveOutDriver* previous = g_driver;
    g_driver = driver ? driver : &kAlsaDriver;
    return previous;
}

MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t device_id, const WAVEFORMATEX* format,
                     WaveOutProc callback, uintptr_t instance, uint32_t flags) {
    return g_driver->open(handle, device_id, format, callback, instance, flags);
}
MMRESULT waveOutReset(HWAVEOUT handle) {
    return g_driver->reset(handle);
}
MMRESULT waveOutPause(HWAVEOUT handle) {
    return g_driver->pause(handle);
}
MMRESULT waveOutRestart(HWAVEOUT handle) {
    return g_driver->restart(handle);
}
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size) {
    return g_driver->prepare_header(handle, header, header_size);
}
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size) {
    return g_driver->write(handle, header, header_size);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size) {
    return g_driver->unprepare_header(handle, header, header_size);
}
MMRESULT waveOutClose(HWAVEOUT handle) {
    return g_driver->close(handle);
}

MMRESULT waveOutGetErrorText(MMRESULT result, char* text, uint32_t size) {
    if (!text || size == 0) return MMSYSERR_INVALPARAM;
    const bool explained = result == g_problem_result && g_problem[0];
    snprintf(text, size, "%s", explained ? g_problem : "the audio device failed");
    return MMSYSERR_NOERROR;
}
