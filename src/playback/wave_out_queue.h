#pragma once
// Live playback: a ring of buffer_count device buffers of buffer_size bytes on the wave
// output device, and a staging area that gathers the caller's chunks of 16-bit stereo
// PCM into whole device buffers. One module-wide queue; the main thread drives it, the
// device thread only sets the done flags.

#include <cstddef>
#include <cstdint>

#include "core/job_state.h"
#include "platform/wave_out.h"

constexpr int kMaxWaveBuffers = 64;
constexpr uint32_t kStagingBytes = 150016;

// wave_out_init results beyond -1 (format refused), -2 (device not opened or reset) and
// -3 (write failed while priming).
constexpr int kWaveOutNoMemory = -4;    // a header or data block could not be allocated
constexpr int kWaveOutBadBuffers = -5;  // buffer_count or buffer_size out of range

// Set by the caller before wave_out_init and left alone until wave_out_wrapup:
// buffer_count 1 to 64, buffer_size a multiple of 4 from 4 to kStagingBytes.
extern int32_t buffer_count;
extern uint32_t buffer_size;

extern "C" {
// rate in samples per second; 0 or a negative code above.
int wave_out_init(uint32_t rate);
// Queues buffer_size bytes; 0, or -1 on a timeout, a device error or a closed queue.
int wave_out_dataout(const uint8_t* data);
// Stages length bytes and sends every buffer they complete; returns the new
// params->staged_bytes, or in flush mode (params->flush_staged == 1) the result of
// wave_out_dataout.
int output_waveout(const uint8_t* bytes, uint32_t length, ParamBlock* params);
// Waits until every buffer has played (unless no_wait is 1), then shuts the queue;
// returns buffer_count.
int wave_out_wrapup(int no_wait);
// Starts again from primed silence on the open device; 0, -3 when a write fails, -2 when
// the queue is closed.
int wave_out_restart();
}

// True when audio given since the last wave_out_init was not all taken by the device: it
// refused a buffer, or took none for 15 seconds.
bool wave_out_lost_audio();
// Why the device was not opened by the last wave_out_init (-2), or what lost audio since:
// the device's own words.
void wave_out_error_text(char* text, size_t size);

void wave_out_callback(HWAVEOUT handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t param2);

// Where the header and data blocks come from: zero-filled blocks. Tests install one that
// fails; nullptr restores calloc and free. Returns the previous one.
struct WaveBufferAllocator {
    void* (*allocate_zeroed)(size_t bytes);
    void (*release)(void* block);
};
const WaveBufferAllocator* wave_out_set_allocator(const WaveBufferAllocator* allocator);
