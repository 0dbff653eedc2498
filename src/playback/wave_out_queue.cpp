#include "playback/wave_out_queue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "platform/clock.h"

int32_t buffer_count;
uint32_t buffer_size;

namespace {

constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr uint32_t kTimeoutMs = 15000;
constexpr uint32_t kFreeBufferPollMs = 100;
constexpr uint32_t kDrainPollMs = 200;

// The ring as wave_out_init built it. ring_count and ring_size are buffer_count and
// buffer_size taken at that moment, so a caller that changes them later cannot make the
// queue run past its own blocks.
struct WaveOutQueue {
    WAVEFORMATEX format;
    HWAVEOUT device;  // nullptr while closed
    WAVEHDR* headers[kMaxWaveBuffers];
    uint8_t* data[kMaxWaveBuffers];
    int32_t ring_count;  // header/data pairs held
    uint32_t ring_size;
    int32_t next_buffer;
    MMRESULT failure;  // of the device's last refusal since wave_out_init, 0 when none
    bool lost_audio;   // audio given since wave_out_init that the device did not take
};

WaveOutQueue g_queue;
uint8_t g_staging[kStagingBytes];

void* calloc_block(size_t bytes) {
    return calloc(1, bytes);
}
const WaveBufferAllocator kCallocAllocator{calloc_block, free};
const WaveBufferAllocator* g_allocator = &kCallocAllocator;

bool queue_is_open() {
    return g_queue.device != nullptr;
}

void advance_next_buffer() {
    g_queue.next_buffer += 1;
    if (g_queue.next_buffer >= g_queue.ring_count) g_queue.next_buffer = 0;
}

void fill_format(WAVEFORMATEX* f, uint32_t rate) {
    f->wFormatTag = WAVE_FORMAT_PCM;
    f->nChannels = 2;
    f->nSamplesPerSec = rate;
    f->nAvgBytesPerSec = kFrameBytes * rate;
    f->nBlockAlign = kFrameBytes;
    f->wBitsPerSample = 16;
    f->cbSize = 0;
}

bool ring_settings_valid() {
    return buffer_count >= 1 && buffer_count <= kMaxWaveBuffers && buffer_size >= kFrameBytes &&
           buffer_size <= kStagingBytes && buffer_size % kFrameBytes == 0;
}

void free_ring() {
    for (int32_t i = 0; i < g_queue.ring_count; ++i) {
        g_allocator->release(g_queue.headers[i]);
        g_allocator->release(g_queue.data[i]);
        g_queue.headers[i] = nullptr;
        g_queue.data[i] = nullptr;
    }
    g_queue.ring_count = 0;
}

// Allocates count header/data pairs; on failure frees the pairs already made and returns
// false.
bool allocate_ring(int32_t count, uint32_t size) {
    g_queue.ring_size = size;
    for (int32_t i = 0; i < count; ++i) {
        auto* header = static_cast<WAVEHDR*>(g_allocator->allocate_zeroed(sizeof(WAVEHDR)));
        auto* data = static_cast<uint8_t*>(g_allocator->allocate_zeroed(size));
        if (!header || !data) {
            g_allocator->release(header);
            g_allocator->release(data);
            free_ring();
            return false;
        }
        header->lpData = data;
        header->dwBufferLength = size;
        header->dwFlags = WHDR_DONE;
        header->dwLoops = 1;
        g_queue.headers[i] = header;
        g_queue.data[i] = data;
        g_queue.ring_count = i + 1;
    }
    return true;
}

void unprepare_all() {
    for (int32_t i = 0; i < g_queue.ring_count; ++i) {
        waveOutUnprepareHeader(g_queue.device, g_queue.headers[i], sizeof(WAVEHDR));
    }
}

// Releases whatever the queue holds: the device (reset, headers unprepared, closed) and
// the ring. A queue that holds nothing is left alone.
void shut_queue() {
    if (g_queue.device) {
        waveOutReset(g_queue.device);
        unprepare_all();
        waveOutClose(g_queue.device);
        g_queue.device = nullptr;
    }
    free_ring();
}

// Queues the first quarter of the ring (silence after a fresh start) so that the
// producer gets a head start.
int prime_ring() {
    for (int32_t i = 0; i < g_queue.ring_count / 4; ++i) {
        WAVEHDR* header = g_queue.headers[g_queue.next_buffer];
        header->dwBufferLength = g_queue.ring_size;
        MMRESULT r = waveOutPrepareHeader(g_queue.device, header, sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR) log_message("Error on prepare to wave out device: %x\n", r);
        advance_next_buffer();
        r = waveOutWrite(g_queue.device, header, sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR) {
            log_message("Error on write to wave out device: %d\n", static_cast<int>(r));
            return -3;
        }
    }
    return 0;
}

int32_t count_done_buffers() {
    int32_t done = 0;
    for (int32_t i = 0; i < g_queue.ring_count; ++i) {
        if (wave_header_flags(g_queue.headers[i]) & WHDR_DONE) done += 1;
    }
    return done;
}

// The device refused a buffer, or took none in time: what it was given is not all heard.
void note_lost_audio(MMRESULT failure) {
    g_queue.lost_audio = true;
    if (failure != MMSYSERR_NOERROR) g_queue.failure = failure;
}

// Waits, polling every 200 ms, until the device has finished every buffer. A device that
// finishes none for 15 s will not finish them: the wait ends there instead of hanging.
// The device plays in real time, so its 15 s are the device clock's.
void drain_ring() {
    int32_t last_done = -1;
    uint32_t progress_at = platform_device_now_ms();
    for (;;) {
        int32_t done = count_done_buffers();
        uint32_t counted_at = platform_device_now_ms();
        platform_sleep_ms(kDrainPollMs);
        if (done >= g_queue.ring_count) return;
        if (done != last_done) {
            last_done = done;
            progress_at = counted_at;
        } else if (platform_device_now_ms() - progress_at > kTimeoutMs) {
            printf("\n Error: timeout on waveout device\n");
            note_lost_audio(MMSYSERR_NOERROR);
            return;
        }
    }
}

// Waits until the header at next_buffer is free; false after the 15-second timeout,
// which has then closed the queue.
bool wait_for_free_buffer(const WAVEHDR* header) {
    uint32_t start = platform_device_now_ms();
    while (!(wave_header_flags(header) & WHDR_DONE)) {
        platform_sleep_ms(kFreeBufferPollMs);
        if (platform_device_now_ms() - start > kTimeoutMs) {
            printf("\n Error: timeout on waveout device\n");
            note_lost_audio(MMSYSERR_NOERROR);
            wave_out_wrapup(1);
            return false;
        }
    }
    return true;
}

// Gives a free header the next buffer of audio: 0, or the device's refusal (logged).
MMRESULT requeue(WAVEHDR* header, const uint8_t* data) {
    MMRESULT r = waveOutUnprepareHeader(g_queue.device, header, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
        log_message("Error on unprepare to wave out device: %x\n", r);
        return r;
    }
    memcpy(header->lpData, data, g_queue.ring_size);
    header->dwBufferLength = g_queue.ring_size;
    r = waveOutPrepareHeader(g_queue.device, header, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
        log_message("Error on prepare to wave out device: %x\n", r);
        return r;
    }
    r = waveOutWrite(g_queue.device, header, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) log_message("Error on write to wave out device: %x\n", r);
    return r;
}

// Appends count source bytes to the staging area, sending every buffer of size bytes
// that fills up. Never holds more than size bytes, whatever count is: what is left
// (up to size bytes, possibly one full buffer) waits for the next call.
uint32_t stage_bytes(const uint8_t* source, uint64_t count, uint32_t staged, uint32_t size) {
    while (staged + count > size) {
        uint32_t take = size - staged;
        memcpy(g_staging + staged, source, take);
        source += take;
        count -= take;
        wave_out_dataout(g_staging);
        staged = 0;
    }
    if (count > 0) memcpy(g_staging + staged, source, static_cast<size_t>(count));
    return staged + static_cast<uint32_t>(count);
}

}  // namespace

void wave_out_callback(HWAVEOUT, uint32_t message, uintptr_t, uintptr_t, uintptr_t) {
    // Finished buffers are recognised by their done flags.
    if (message == WOM_OPEN || message == WOM_CLOSE || message == WOM_DONE) return;
    log_message("callback msg: %d\n", static_cast<int>(message));
}

const WaveBufferAllocator* wave_out_set_allocator(const WaveBufferAllocator* allocator) {
    const WaveBufferAllocator* previous = g_allocator;
    g_allocator = allocator ? allocator : &kCallocAllocator;
    return previous;
}

int wave_out_init(uint32_t rate) {
    // A queue left open by its last user is shut first, so nothing of it leaks.
    shut_queue();
    if (!ring_settings_valid()) {
        log_message("Unsupported wave out buffers: %d of %u bytes\n", buffer_count, buffer_size);
        return kWaveOutBadBuffers;
    }
    fill_format(&g_queue.format, rate);
    g_queue.failure = MMSYSERR_NOERROR;
    g_queue.lost_audio = false;
    // The query opens the device too: one that cannot be opened at all is not a refused
    // format.
    MMRESULT r = waveOutOpen(nullptr, WAVE_MAPPER, &g_queue.format, nullptr, 0, WAVE_FORMAT_QUERY);
    if (r != MMSYSERR_NOERROR && r != WAVERR_BADFORMAT) g_queue.failure = r;
    if (r == WAVERR_BADFORMAT) {
        log_message("Unsupported waveform format/rate: %d", static_cast<int>(r));
        return -1;
    }
    HWAVEOUT device = nullptr;
    if (r == MMSYSERR_NOERROR) {
        r = waveOutOpen(&device, WAVE_MAPPER, &g_queue.format, wave_out_callback, 0,
                        CALLBACK_FUNCTION);
    }
    if (r != MMSYSERR_NOERROR || !device) {
        g_queue.failure = r != MMSYSERR_NOERROR ? r : MMSYSERR_ERROR;
        log_message("Unable to open waveform output device: %d\n", static_cast<int>(r));
        return -2;
    }
    g_queue.device = device;
    if (waveOutReset(device) != MMSYSERR_NOERROR) {
        waveOutClose(device);
        g_queue.device = nullptr;
        return -2;
    }
    g_queue.next_buffer = 0;
    if (!allocate_ring(buffer_count, buffer_size)) {
        log_message("Unable to allocate wave out buffers: %d of %u bytes\n", buffer_count,
                    buffer_size);
        shut_queue();
        return kWaveOutNoMemory;
    }
    r = waveOutPause(device);
    if (r != MMSYSERR_NOERROR) log_message("Error on pause of wave out device: %x\n", r);
    // The data blocks come zero-filled: the primed buffers are silence.
    if (prime_ring() != 0) {
        shut_queue();
        return -3;
    }
    r = waveOutRestart(device);
    if (r != MMSYSERR_NOERROR) log_message("Error on restart of wave out device: %x\n", r);
    return 0;
}

int wave_out_dataout(const uint8_t* data) {
    // After a timeout the queue is closed: the job's remaining calls end here.
    if (!queue_is_open() || !data) return -1;
    WAVEHDR* header = g_queue.headers[g_queue.next_buffer];
    if (!wait_for_free_buffer(header)) return -1;
    MMRESULT r = requeue(header, data);
    if (r != MMSYSERR_NOERROR) {
        note_lost_audio(r);
        return -1;
    }
    advance_next_buffer();
    return 0;
}

int output_waveout(const uint8_t* bytes, uint32_t length, ParamBlock* params) {
    if (!params) return -1;
    // Nothing can play on a closed queue (never opened, or closed by a timeout): the
    // bytes are dropped and the staged ones stay as they are.
    if (!queue_is_open()) {
        return params->flush_staged == 1 ? -1 : static_cast<int>(params->staged_bytes);
    }
    if (!bytes && length > 0) return static_cast<int>(params->staged_bytes);
    uint32_t size = g_queue.ring_size;
    // Between calls at most one buffer waits; a larger count cannot have come from here.
    uint32_t staged = params->staged_bytes <= size ? params->staged_bytes : size;
    if (params->flush_staged == 1) {
        // Bytes given with a flush are staged first, so that none is lost or replaced by
        // stale staging contents; the last buffer is completed with silence.
        if (length > 0) staged = stage_bytes(bytes, length, staged, size);
        params->staged_bytes = staged;
        memset(g_staging + staged, 0, size - staged);
        return wave_out_dataout(g_staging);
    }
    staged = stage_bytes(bytes, length, staged, size);
    params->staged_bytes = staged;
    return static_cast<int>(staged);
}

int wave_out_wrapup(int no_wait) {
    if (no_wait != 1 && queue_is_open()) drain_ring();
    shut_queue();
    return buffer_count;
}

int wave_out_restart() {
    if (!queue_is_open()) return -2;
    waveOutReset(g_queue.device);
    unprepare_all();
    g_queue.next_buffer = 0;
    for (int32_t i = 0; i < g_queue.ring_count; ++i) memset(g_queue.data[i], 0, g_queue.ring_size);
    if (prime_ring() != 0) return -3;
    MMRESULT r = waveOutRestart(g_queue.device);
    if (r != MMSYSERR_NOERROR) log_message("Error on restart of wave out device: %x\n", r);
    return 0;
}

bool wave_out_lost_audio() {
    return g_queue.lost_audio;
}

void wave_out_error_text(char* text, size_t size) {
    if (g_queue.failure == MMSYSERR_NOERROR) {
        snprintf(text, size, "the device took no audio for %u seconds", kTimeoutMs / 1000);
        return;
    }
    waveOutGetErrorText(g_queue.failure, text, size);
}
