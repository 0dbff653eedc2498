#pragma once
// The waveform output device: the calls of the Windows waveOut interface that playback
// uses, with its published constants, record fields and results, played here through
// ALSA. A Win32 build puts a table of winmm calls behind the same functions.
//
// Semantics kept from waveOut:
// - Opening with WAVE_FORMAT_QUERY only asks whether the format is accepted.
// - A header must be prepared before it is written; a written header is owned by the
//   device until it sets WHDR_DONE. Unpreparing a queued header gives
//   WAVERR_STILLPLAYING.
// - Reset returns every queued header at once, marked done.
// - The callback gets WOM_OPEN from the open, WOM_DONE for every header handed back and
//   WOM_CLOSE from the close. WOM_DONE arrives on the device's own thread.
//
// Where this device differs:
// - A header is done as soon as the device has taken its bytes (copied them on their way
//   to ALSA), not when they have been heard; ALSA's own buffer holds the rest.
// - Pause stops the taking of new buffers; what ALSA already holds still sounds.
// - Close also discards what is still queued, so it always succeeds on a valid handle;
//   no device thread touches a header once close has returned.
//
// TERVANO_AUDIO_DEVICE names the ALSA device (default "default").

#include <cstdint>

typedef uint32_t MMRESULT;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;
constexpr uint32_t WAVE_FORMAT_QUERY = 0x0001;
constexpr uint32_t CALLBACK_FUNCTION = 0x00030000;
constexpr uint16_t WAVE_FORMAT_PCM = 1;

// Callback messages.
constexpr uint32_t WOM_OPEN = 0x3BB;
constexpr uint32_t WOM_CLOSE = 0x3BC;
constexpr uint32_t WOM_DONE = 0x3BD;

// WAVEHDR dwFlags bits.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

// The published WAVEHDR; its pointer fields are pointer-sized on this platform, so the
// record is 48 bytes here and the size argument of the header calls is sizeof(WAVEHDR).
struct WAVEHDR {
    uint8_t* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t
        dwFlags;  // the device sets WHDR_DONE on its own thread: read it with wave_header_flags
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};

struct WaveOutDevice;
typedef WaveOutDevice* HWAVEOUT;

typedef void (*WaveOutProc)(HWAVEOUT handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                            uintptr_t param2);

// dwFlags as the device last left them; safe to poll while the device runs.
inline uint32_t wave_header_flags(const WAVEHDR* header) {
    return __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
}

// With WAVE_FORMAT_QUERY, handle and callback may be null and nothing is opened.
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t device_id, const WAVEFORMATEX* format,
                     WaveOutProc callback, uintptr_t instance, uint32_t flags);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size);
MMRESULT waveOutClose(HWAVEOUT handle);

// Words for a result of the calls above; for the device's last failure to open, the ALSA
// device's name and ALSA's reason.
MMRESULT waveOutGetErrorText(MMRESULT result, char* text, uint32_t size);

// The device behind the calls above. Tests install a fake one; nullptr restores ALSA.
typedef MMRESULT (*WaveOutOpenFn)(HWAVEOUT* handle, uint32_t device_id, const WAVEFORMATEX* format,
                                  WaveOutProc callback, uintptr_t instance, uint32_t flags);
struct WaveOutDriver {
    WaveOutOpenFn open;
    MMRESULT (*reset)(HWAVEOUT handle);
    MMRESULT (*pause)(HWAVEOUT handle);
    MMRESULT (*restart)(HWAVEOUT handle);
    MMRESULT (*prepare_header)(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size);
    MMRESULT (*write)(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size);
    MMRESULT (*unprepare_header)(HWAVEOUT handle, WAVEHDR* header, uint32_t header_size);
    MMRESULT (*close)(HWAVEOUT handle);
};

// Returns the previous driver.
const WaveOutDriver* wave_out_set_driver(const WaveOutDriver* driver);
