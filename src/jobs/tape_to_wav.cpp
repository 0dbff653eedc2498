// Tape to WAV extraction and live playback (/TERVANO): the tape's programs become
// numbered WAV files "<file_name><track>.wav" (see jobs/wav_header.h for their layout),
// or with /WAVEOUT they are played on the wave output device.
//
// A track ends at a change of the sampling rate and, with /STARTID, at a start ID, but
// never within its first 300 frames: an early start ID is ignored, an early rate change
// restarts the track at the new rate. One frame is in flight: each pass stores the frame
// in hand, then reads the next.

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/audio_frame.h"
#include "frame/concealment.h"
#include "frame/long_play.h"
#include "frame/subcode_reader.h"
#include "jobs/jobs.h"
#include "jobs/wav_header.h"
#include "platform/keyboard.h"
#include "playback/wave_out_queue.h"
#include "scsi/aspi_transport.h"
#include "scsi/tape_commands.h"

namespace {

constexpr uint32_t kReadyTimeoutMs = 10000;
constexpr int kHoldOffFrames = 300;
constexpr int32_t kPlaybackBufferCount = 24;
constexpr uint32_t kPlaybackBufferBytes = 16384;
constexpr char kSpinner[] = "|/-\\";
// Tests only: lowers the PCM bytes one file takes, so that the split shows without 4 GiB.
constexpr char kDataLimitVariable[] = "TERVANO_WAV_DATA_LIMIT";

// The base name, a track number of up to ten digits and ".wav".
constexpr int kWavNameSize = kFileNameSize + 16;

struct Extraction {
    JobState* job;
    ParamBlock* params;
    bool playback;
    AudioFrame frame;                // every read goes here
    uint8_t pcm[kLongPlayPcmBytes];  // the frame in hand as 16-bit stereo
    int track_number;
    int track_frames;      // frames read since the track began or restarted
    int track_program;     // program number of the first program frame stored, 0 before
    uint32_t track_bytes;  // PCM bytes the current file holds
    uint32_t rate_hz;
    int track_sample_bits;  // 16, or 12 for a long-play track
    FILE* file;
    char name[kWavNameSize];
    // ESC (Ctrl-C and SIGTERM arrive as ESC), a tape that has nothing more to give, or a
    // file that takes no more data. Kept apart from end_reached, which /STOPEOT clears
    // after every frame.
    bool stop;
};

void reset_live_status(JobState* job) {
    job->end_reached = 0;
    job->no_subcode = 1;
    job->new_start_id = 0;
    job->rate_changed = 0;
    job->rate_code = 0;
    job->blank_frames = 0;
    job->program_number = 0;
    job->program_time = 0;
    job->abs_time = 0;
}

void take_data_limit_from_environment() {
    const char* text = getenv(kDataLimitVariable);
    if (!text || !*text) return;
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 10);
    if (*end == '\0' && value > 0 && value < kWavMaxDataBytes) {
        wav_set_data_limit(static_cast<uint32_t>(value));
    }
}

ScsiStatus read_frame(Extraction& x) {
    const ScsiAddress& drive = x.job->input;
    return scsi_read_block(drive.adapter, drive.target, drive.lun,
                           reinterpret_cast<uint8_t*>(&x.frame), kFrameBytes);
}

// A failed read ends the job; with /STOPEOT it does not (read_subcode clears end_reached
// again and the buffer goes on as the transport left it, zeros), unless the drive says
// the recorded data or the medium has ended, where reading on would fail for ever.
void read_next_frame(Extraction& x, const char* stage) {
    ScsiStatus status = read_frame(x);
    if (!scsi_ok(status)) {
        printf("%s read audio block failed: %x\n", stage, status);
        x.job->end_reached = 1;
        if (!x.job->stop_at_eot || scsi_tape_exhausted(status)) x.stop = true;
    }
    read_subcode(&x.frame, x.job);
}

bool probe_tape(Extraction& x) {
    if (!scsi_ok(read_frame(x))) {
        printf("first read audio block failed\n");
        return false;
    }
    read_subcode(&x.frame, x.job);
    return true;
}

// After a rewind the tape starts with frames that carry no subcode.
bool scan_past_lead_in(Extraction& x) {
    for (uint32_t n = 0; x.job->no_subcode == 1; ++n) {
        ScsiStatus status = read_frame(x);
        if (!scsi_ok(status)) {
            printf("leadin read audio block failed: 0x%.8x\n", status);
            return false;
        }
        read_subcode(&x.frame, x.job);
        printf(" - scanning past lead-in: %c \r", kSpinner[(n / 2) % 4]);
    }
    printf(" - scanning past lead-in: done        \n");
    return true;
}

void report_write_failure(const Extraction& x) {
    printf("Writing %s failed: %s\n", x.name, strerror(errno));
}

bool open_wav_file(Extraction& x) {
    if (!wav_file_name(x.name, sizeof x.name, x.job->file_name, x.track_number)) {
        printf("File name too long: %s%d.wav\n", x.job->file_name, x.track_number);
        return false;
    }
    printf("\n - saving audio track# %d in file:%s              \n", x.track_number, x.name);
    x.file = fopen(x.name, "w+b");
    if (!x.file) {
        printf("Cannot open %s\n", x.name);
        return false;
    }
    // Unbuffered, so that a failed write shows at once and the byte count stays true.
    setvbuf(x.file, nullptr, _IONBF, 0);
    if (fseek(x.file, 0, SEEK_SET) != 0 || write_wav_header(x.file, 0, x.job->file_rate_code)) {
        report_write_failure(x);
        fclose(x.file);
        x.file = nullptr;
        return false;
    }
    return true;
}

// The final header counts the bytes stored; the file is cut there, since a restart at a
// new rate can leave older, longer data behind them.
void close_wav_file(Extraction& x) {
    bool ok = fseek(x.file, 0, SEEK_SET) == 0 &&
              write_wav_header(x.file, x.track_bytes, x.job->file_rate_code) == 0;
    off_t length = static_cast<off_t>(kWavHeaderBytes) + static_cast<off_t>(x.track_bytes);
    ok = ftruncate(fileno(x.file), length) == 0 && ok;
    ok = fclose(x.file) == 0 && ok;
    x.file = nullptr;
    if (!ok) report_write_failure(x);
}

bool open_playback(Extraction& x) {
    x.params->staged_bytes = 0;
    x.params->flush_staged = 0;
    buffer_count = kPlaybackBufferCount;
    buffer_size = kPlaybackBufferBytes;
    int result = wave_out_init(x.rate_hz);
    if (result != 0) {
        printf("wave out init failed: %d\n", result);
        wave_out_wrapup(1);
        return false;
    }
    return true;
}

// The last partial buffer of a track is sent, completed with silence, so that every
// frame read is heard; then the queue drains.
void close_playback(Extraction& x) {
    if (x.params->staged_bytes > 0) {
        x.params->flush_staged = 1;
        output_waveout(nullptr, 0, x.params);
        x.params->flush_staged = 0;
    }
    wave_out_wrapup(0);
}

void take_track_rate(Extraction& x) {
    x.job->file_rate_code = x.job->rate_code;
    x.track_sample_bits = x.job->sample_bits;
    x.rate_hz = wav_rate_hz(x.job->rate_code);
    x.track_bytes = 0;
}

bool open_track(Extraction& x) {
    take_track_rate(x);
    if (x.playback) {
        if (!open_playback(x)) return false;
        printf("Playing audio track# %d%52s\n", x.track_number, "");
        return true;
    }
    return open_wav_file(x);
}

void close_track(Extraction& x) {
    if (x.playback) {
        close_playback(x);
    } else {
        close_wav_file(x);
    }
}

// The track begins again at the rate of the frame in hand; what it stored so far is
// dropped (overwritten in the file). False when the playback device cannot be reopened.
bool restart_track(Extraction& x) {
    take_track_rate(x);
    x.track_frames = 0;
    x.track_program = 0;
    x.job->rate_changed = 0;
    if (x.playback) {
        close_playback(x);
        return open_playback(x);
    }
    if (fseek(x.file, 0, SEEK_SET) != 0 || write_wav_header(x.file, 0, x.job->file_rate_code)) {
        report_write_failure(x);
        x.stop = true;
    }
    return true;
}

// Bytes per frame come from the frame in hand, so a change of quantization inside a
// track never copies more than the frame holds. A frame without subcode (blank tape, or
// the zeros of a failed read under /STOPEOT) has no format of its own and is stored in
// the track's, so that the track's timing stays true.
bool frame_is_long_play(const Extraction& x) {
    const int bits = x.job->no_subcode ? x.track_sample_bits : x.job->sample_bits;
    return bits == 12;
}

int frame_pcm_bytes(const Extraction& x) {
    if (frame_is_long_play(x)) return kLongPlayPcmBytes;
    const int rate_code = x.job->no_subcode ? x.job->file_rate_code : x.job->rate_code;
    return audio_bytes_per_frame(rate_code, 16);
}

int convert_frame(Extraction& x) {
    if (frame_is_long_play(x)) return decode_lp_frame(x.pcm, x.frame.audio);
    int bytes = frame_pcm_bytes(x);
    memcpy(x.pcm, x.frame.audio, static_cast<size_t>(bytes));
    return bytes;
}

// The drive flags damaged audio in sub-ID byte 3; only 16-bit frames can be repaired.
void report_damage(Extraction& x, int bytes) {
    int flags = frame_error_flags(x.frame);
    if (flags == 0) return;
    printf("\n - Error detected in data buffer ... ");
    if (x.job->input_drive_kind == 0) {
        if (flags & kErrorLeft) printf(": LEFT channel");
        if (flags & kErrorRight) printf(": RIGHT channel");
    }
    if (!frame_is_long_play(x) && x.job->error_correct) {
        printf("attempting to correct\n");
        conceal_errors(x.frame.audio, x.pcm, bytes, flags);
    } else {
        printf("\n");
    }
}

// False when the file takes no more (reported): the job then ends in order.
bool store_pcm(Extraction& x, int bytes) {
    if (x.playback) {
        output_waveout(x.pcm, static_cast<uint32_t>(bytes), x.params);
        return true;
    }
    size_t written = fwrite(x.pcm, 1, static_cast<size_t>(bytes), x.file);
    // Only whole sample pairs are counted; the close cuts off a partial one.
    x.track_bytes += static_cast<uint32_t>(written - written % 4);
    if (written == static_cast<size_t>(bytes)) return true;
    report_write_failure(x);
    x.stop = true;
    return false;
}

// The RIFF length field has 32 bits: a file that could not take the frame in hand is
// closed, and the frame opens the next one.
bool file_full(const Extraction& x) {
    if (x.playback || x.track_bytes == 0) return false;
    uint64_t after = static_cast<uint64_t>(x.track_bytes) + frame_pcm_bytes(x);
    return after > wav_data_limit();
}

void poll_keys(Extraction& x) {
    if (key_waiting() && read_key() == kKeyEsc) x.stop = true;
}

// A frame without subcode (blank tape, or the zeros of a failed read under /STOPEOT)
// has no rate of its own: it neither restarts nor ends a track, and the track's rate is
// compared with the next recorded frame.
bool rate_differs(const JobState* job) {
    return !job->no_subcode && job->rate_code != job->file_rate_code;
}

bool is_program_number(int pno) {
    return pno != 0 && pno != kPnoInvalid && pno != kPnoLeadIn && pno != kPnoLeadOut;
}

void note_track_program(Extraction& x) {
    const JobState* job = x.job;
    if (x.track_program == 0 && !job->no_subcode && is_program_number(job->abs_time_pno)) {
        x.track_program = job->abs_time_pno;
    }
}

// An early rate change restarts the track to drop what came before the program proper.
// When the track already holds a program and the frame in hand belongs to another one,
// the track is a short program of its own: it is closed, not dropped.
bool other_program_began(const Extraction& x) {
    return x.track_program != 0 && x.job->abs_time_pno != x.track_program;
}

bool track_goes_on(const Extraction& x) {
    const JobState* job = x.job;
    if (job->end_reached || x.stop) return false;
    if (job->new_start_id && job->split_on_start_id) return false;
    return !file_full(x);
}

// False when the playback device cannot be reopened after a rate change.
bool run_frame_loop(Extraction& x) {
    JobState* job = x.job;
    job->rate_changed = 0;
    job->end_reached = 0;
    job->new_start_id = 0;
    x.track_frames = 0;
    x.track_program = 0;
    while (track_goes_on(x)) {
        print_status_line(job);
        int bytes = convert_frame(x);
        report_damage(x, bytes);
        if (!store_pcm(x, bytes)) break;
        note_track_program(x);
        read_next_frame(x, "loop2");
        x.track_frames++;
        poll_keys(x);
        // The frame that ends the job is never stored: it must not restart the track and
        // drop what the track holds.
        if (job->end_reached || x.stop) break;
        if (job->new_start_id && x.track_frames < kHoldOffFrames) job->new_start_id = 0;
        if (rate_differs(job)) {
            if (x.track_frames >= kHoldOffFrames || other_program_began(x)) break;
            if (!restart_track(x)) return false;
        }
    }
    return true;
}

// 0 when the tape has been read to its end; 1 when a file or the playback device
// could not be opened.
int extract_tracks(Extraction& x) {
    JobState* job = x.job;
    bool first_pass = true;
    for (;;) {
        if (!open_track(x)) return 1;
        // The probe frame, or the last frame of the lead-in, is not stored.
        if (first_pass) {
            first_pass = false;
            read_next_frame(x, "loop1");
            if (!x.stop && rate_differs(job) && !restart_track(x)) return 1;
        }
        if (!x.stop && !run_frame_loop(x)) return 1;
        close_track(x);
        x.track_number++;
        if (job->end_reached || x.stop) return 0;
    }
}

}  // namespace

int tape_to_wav(JobState* job, ParamBlock* params) {
    take_data_limit_from_environment();
    Extraction x{};
    x.job = job;
    x.params = params;
    x.playback = job->wave_out != 0;
    x.track_number = 1;

    reset_live_status(job);
    if (!probe_tape(x)) return 1;
    if (job->rewind && !scan_past_lead_in(x)) return 1;
    const ScsiAddress& drive = job->input;
    scsi_wait_ready(drive.adapter, drive.target, drive.lun, kReadyTimeoutMs);
    job->end_reached = 0;
    return extract_tracks(x);
}
