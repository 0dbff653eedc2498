// Tape to WAV extraction and live playback (/TERVANO): the tape's programs become
// numbered WAV files "<file_name><track>.wav" (see jobs/wav_header.h for their layout),
// or with /WAVEOUT they are played on the wave output device.
//
// A track ends at a change of the sampling rate and, with /STARTID, at a start ID, but
// never within its first 300 frames: an early start ID is ignored, an early rate change
// restarts the track at the new rate (and says how many frames that drops). A rate that
// lasts fewer than 4 frames is a damaged format byte, not a change: those frames are
// stored in the track's format and counted as damaged. The first frame read is stored
// like every other. One frame is in hand: each pass stores it, then takes the next, from
// the frames read ahead for a rate check or from the drive.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "frame/audio_frame.h"
#include "frame/concealment.h"
#include "frame/long_play.h"
#include "frame/subcode_reader.h"
#include "jobs/frame_source.h"
#include "jobs/job_console.h"
#include "jobs/jobs.h"
#include "jobs/transfer_log.h"
#include "jobs/transfer_report.h"
#include "jobs/wav_header.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "playback/wave_out_queue.h"
#include "scsi/aspi_transport.h"

namespace {

constexpr uint32_t kReadyTimeoutMs = 10000;
constexpr int kHoldOffFrames = 300;
constexpr int kRateRunFrames = 4;  // frames in a row at a new rate that make a change
constexpr int32_t kPlaybackBufferCount = 24;
constexpr uint32_t kPlaybackBufferBytes = 16384;
constexpr char kSpinner[] = "|/-\\";
// Tests only: lowers the PCM bytes one file takes, so that the split shows without 4 GiB.
constexpr char kDataLimitVariable[] = "TERVANO_WAV_DATA_LIMIT";

constexpr char kAudioDeviceHint[] =
    "TERVANO_AUDIO_DEVICE names the ALSA device to play on (aplay -L lists them)";

// The base name, a track number of up to ten digits and ".wav".
constexpr int kWavNameSize = kFileNameSize + 16;

struct AheadFrame {
    AudioFrame frame;
    ScsiStatus status;
};

struct Extraction {
    JobState* job;
    ParamBlock* params;
    FrameSource* source;
    bool playback;
    bool bwf;
    AudioFrame frame;       // the frame in hand
    bool frame_unreadable;  // its read failed and /STOPEOT reads on: it holds zeros
    bool frame_rate_blip;   // its rate lasts fewer than kRateRunFrames frames
    bool frame_start_id;    // it begins a start-ID run (before the hold-off clears that)
    AheadFrame ahead[kRateRunFrames - 1];  // read ahead for a rate check, in tape order
    int ahead_count;
    uint8_t pcm[kLongPlayPcmBytes];  // the frame in hand as 16-bit stereo
    int track_number;
    int track_frames;      // frames read since the track began or restarted
    int track_program;     // program number of the first program frame stored, 0 before
    uint32_t track_bytes;  // PCM bytes the current file holds
    uint32_t rate_hz;
    int track_sample_bits;  // 16, or 12 for a long-play track
    FILE* file;
    char name[kWavNameSize];
    char reference_stem[48];  // the Broadcast Wave reference, less the track number
    // ESC (Ctrl-C and SIGTERM arrive as ESC), a tape that has nothing more to give, or a
    // file that takes no more data. Kept apart from end_reached, which /STOPEOT clears
    // after every frame.
    bool stop;
    bool started;  // the first track has been opened
    bool playback_failed;
    TransferLog log;
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

// The one place frames come from.
ScsiStatus read_from_source(const Extraction& x, AudioFrame* frame) {
    return frame_source_read(x.source, frame);
}

// The next frame in tape order into the frame in hand.
ScsiStatus take_frame(Extraction& x) {
    if (x.ahead_count == 0) return read_from_source(x, &x.frame);
    x.frame = x.ahead[0].frame;
    const ScsiStatus status = x.ahead[0].status;
    for (int i = 1; i < x.ahead_count; ++i) x.ahead[i - 1] = x.ahead[i];
    x.ahead_count--;
    return status;
}

// Frame i after the one in hand (0 = the next), read ahead when needed; nullptr when a
// read before it or of it failed: nothing is read past a failure.
const AudioFrame* peek_frame(Extraction& x, int i) {
    for (int j = 0; j <= i; ++j) {
        if (j == x.ahead_count) {
            x.ahead[j].status = read_from_source(x, &x.ahead[j].frame);
            x.ahead_count++;
        }
        if (!scsi_ok(x.ahead[j].status)) return nullptr;
    }
    return &x.ahead[i].frame;
}

// The frame in hand is at another rate than the track: a change only when the next
// frames carry the same rate, kRateRunFrames in all.
bool rate_blip(Extraction& x) {
    for (int i = 0; i < kRateRunFrames - 1; ++i) {
        const AudioFrame* next = peek_frame(x, i);
        if (!next || !frame_has_subcode(*next) || frame_rate_code(*next) != x.job->rate_code) {
            return true;
        }
    }
    return false;
}

// A failed read ends the job; with /STOPEOT a damaged frame does not (read_subcode clears
// end_reached again and the frame holds zeros). The end of the recorded data or of the
// medium ends it, where reading on would fail for ever, and so does a drive that fails
// in any other way (not ready, gone, not answering).
void read_next_frame(Extraction& x) {
    const ScsiStatus status = take_frame(x);
    x.frame_unreadable = false;
    x.frame_rate_blip = false;
    if (!scsi_ok(status)) {
        print_line("loop2 read audio block failed: %x\n", status);
        x.job->end_reached = 1;
        if (scsi_tape_exhausted(status)) {
            log_end(&x.log, END_RECORDING);
            x.stop = true;
        } else if (!frame_source_reads_on(x.job, status)) {
            log_read_error(&x.log, status);
            x.stop = true;
        } else {
            x.frame_unreadable = true;
        }
    }
    take_subcode(&x.frame, x.job);
    x.frame_start_id = x.job->new_start_id != 0;
}

// With /STOPEOT a damaged first frame is read past like any other: it is the track's first
// frame, in silence.
bool probe_tape(Extraction& x) {
    const ScsiStatus status = read_from_source(x, &x.frame);
    if (!scsi_ok(status) && !frame_source_reads_on(x.job, status)) {
        printf("first read audio block failed\n");
        return false;
    }
    x.frame_unreadable = !scsi_ok(status);
    if (x.frame_unreadable) print_line("first read audio block failed: %x\n", status);
    take_subcode(&x.frame, x.job);
    return true;
}

// After a rewind the tape starts with frames that carry no subcode; the first frame
// that has some opens track 1. /STOPEOT reads past a damaged frame here too.
bool scan_past_lead_in(Extraction& x) {
    for (uint32_t n = 0; x.job->no_subcode == 1; ++n) {
        ScsiStatus status = read_from_source(x, &x.frame);
        if (!scsi_ok(status)) {
            printf("leadin read audio block failed: 0x%.8x\n", status);
            if (!frame_source_reads_on(x.job, status)) return false;
        }
        take_subcode(&x.frame, x.job);
        printf(" - scanning past lead-in: %c \r", kSpinner[(n / 2) % 4]);
    }
    printf(" - scanning past lead-in: done        \n");
    x.frame_unreadable = false;
    return true;
}

void write_failed(Extraction& x) {
    const int error = errno;
    print_line("Writing %s failed: %s\n", x.name, strerror(error));
    log_end(&x.log, END_WRITE_ERROR, strerror(error));
    x.stop = true;
}

bool is_program_number(int pno) {
    return pno != 0 && pno != kPnoInvalid && pno != kPnoLeadIn && pno != kPnoLeadOut;
}

bool bcd_in_range(uint32_t byte, uint32_t low, uint32_t high) {
    const uint32_t value = (byte >> 4) * 10 + (byte & 0x0F);
    return (byte >> 4) <= 9 && (byte & 0x0F) <= 9 && value >= low && value <= high;
}

// A date pack's BCD year has two digits; DAT recorders date from the late 1980s.
// The weekday is not used here.
bool date_pack_time(uint32_t ymd, uint32_t hms, LocalTime* t) {
    const uint32_t y = ymd >> 16, mo = (ymd >> 8) & 0xFF, d = ymd & 0xFF;
    const uint32_t h = hms >> 16, mi = (hms >> 8) & 0xFF, s = hms & 0xFF;
    if (ymd == 0 || !bcd_in_range(y, 0, 99) || !bcd_in_range(mo, 1, 12) ||
        !bcd_in_range(d, 1, 31) || !bcd_in_range(h, 0, 23) || !bcd_in_range(mi, 0, 59) ||
        !bcd_in_range(s, 0, 59)) {
        return false;
    }
    auto value = [](uint32_t b) { return static_cast<int>((b >> 4) * 10 + (b & 0x0F)); };
    const int yy = value(y);
    *t = {yy >= 80 ? 1900 + yy : 2000 + yy, value(mo), value(d), value(h), value(mi), value(s), 0};
    return true;
}

// What the bext chunk says about the open file, from the tracks logged in it so far.
BextFacts bext_facts(const Extraction& x) {
    BextFacts b{};
    b.long_play = x.track_sample_bits == 12;
    b.origination = x.log.started;
    snprintf(b.reference, sizeof b.reference, "%.23sT%03d", x.reference_stem,
             x.track_number % 1000);
    const int file = static_cast<int>(x.log.files.size()) - 1;
    bool dated = false;
    bool timed = false;
    for (const TrackLog& t : x.log.tracks) {
        if (t.file != file) continue;
        if (b.program == 0) b.program = t.program;
        if (!dated) dated = date_pack_time(t.date_ymd, t.date_hms, &b.origination);
        const int64_t frames = bcd_time_frames(t.first_abs);
        if (!timed && frames >= 0) {
            // 100 frames are three seconds.
            b.time_reference =
                static_cast<uint64_t>(frames) * wav_rate_hz(x.job->file_rate_code) * 3 / 100;
            timed = true;
        }
    }
    return b;
}

int write_header(Extraction& x, uint32_t data_length) {
    if (!x.bwf) return write_wav_header(x.file, data_length, x.job->file_rate_code);
    const BextFacts bext = bext_facts(x);
    return write_wav_header(x.file, data_length, x.job->file_rate_code, &bext);
}

// A file that never got its header or a frame is removed, not left behind empty.
void remove_empty_file(Extraction& x) {
    fclose(x.file);
    x.file = nullptr;
    remove(x.name);
    log_file_removed(&x.log);
}

bool open_wav_file(Extraction& x) {
    if (!wav_file_name(x.name, sizeof x.name, x.job->file_name, x.track_number)) {
        print_line("File name too long: %s%d.wav\n", x.job->file_name, x.track_number);
        log_end(&x.log, END_WRITE_ERROR, "file name too long");
        return false;
    }
    status_line_flush();
    printf("\n - saving audio track# %d in file:%s              \n", x.track_number, x.name);
    status_line_closed();
    x.file = file_create_locked(x.name);
    if (!x.file) {
        const char* reason = file_error_text(errno);
        printf("Cannot open %s: %s\n", x.name, reason);
        log_end(&x.log, END_WRITE_ERROR, std::string(x.name) + ": " + reason);
        return false;
    }
    log_file_opened(&x.log, x.name);
    // Unbuffered, so that a failed write shows at once and the byte count stays true.
    setvbuf(x.file, nullptr, _IONBF, 0);
    if (fseek(x.file, 0, SEEK_SET) != 0 || write_header(x, 0)) {
        write_failed(x);
        remove_empty_file(x);
        return false;
    }
    return true;
}

// The final header counts the bytes stored; the file is cut there, since a restart at a
// new rate can leave older, longer data behind them.
void close_wav_file(Extraction& x) {
    if (x.track_bytes == 0) {
        remove_empty_file(x);
        return;
    }
    bool ok = fseek(x.file, 0, SEEK_SET) == 0 && write_header(x, x.track_bytes) == 0;
    const uint64_t length = static_cast<uint64_t>(wav_header_bytes(x.bwf)) + x.track_bytes;
    ok = file_cut(x.file, length) == 0 && ok;
    ok = fclose(x.file) == 0 && ok;
    x.file = nullptr;
    log_file_closed(&x.log);
    if (!ok) write_failed(x);
}

bool open_playback(Extraction& x) {
    x.params->staged_bytes = 0;
    x.params->flush_staged = 0;
    buffer_count = kPlaybackBufferCount;
    buffer_size = kPlaybackBufferBytes;
    int result = wave_out_init(x.rate_hz);
    if (result != 0) {
        char why[200];
        wave_out_error_text(why, sizeof why);
        // A device that cannot be opened at all is most often the wrong one.
        if (result == -2) print_line("%s; %s\n", why, kAudioDeviceHint);
        print_line("wave out init failed: %d\n", result);
        wave_out_wrapup(1);
        log_end(
            &x.log, END_PLAYBACK_ERROR,
            result == -2 ? std::string(why) : "wave out init failed: " + std::to_string(result));
        return false;
    }
    return true;
}

// The device lost audio it was given (it failed, or took none in time): the job ends
// early rather than go on in silence. False then.
bool playback_intact(Extraction& x) {
    if (x.playback_failed || !wave_out_lost_audio()) return !x.playback_failed;
    x.playback_failed = true;
    char why[200];
    wave_out_error_text(why, sizeof why);
    print_line("Playback failed: %s\n", why);
    log_end(&x.log, END_PLAYBACK_ERROR, why);
    x.stop = true;
    return false;
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
    playback_intact(x);
}

// A rate blip that opens a track (it carried a start ID) leaves the track's format as
// it was.
void take_track_rate(Extraction& x) {
    if (!x.frame_rate_blip) {
        x.job->file_rate_code = x.job->rate_code;
        x.track_sample_bits = x.job->sample_bits;
    }
    x.rate_hz = wav_rate_hz(x.job->file_rate_code);
    x.track_bytes = 0;
}

bool open_track(Extraction& x) {
    take_track_rate(x);
    if (x.playback) {
        if (!open_playback(x)) return false;
        status_line_flush();
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
// dropped (overwritten in the file), and the console says so. False when the playback
// device cannot be reopened.
bool restart_track(Extraction& x) {
    const int frames = x.track_frames;
    take_track_rate(x);
    x.track_frames = 0;
    x.track_program = 0;
    x.job->rate_changed = 0;
    if (x.playback) {
        close_playback(x);
        return open_playback(x);
    }
    log_drop_file_tracks(&x.log);
    print_line(
        " - the sampling rate changed to %u Hz within the first %d frames of track# %d: "
        "the track starts again, %d frames dropped\n",
        x.rate_hz, kHoldOffFrames, x.track_number, frames);
    if (fseek(x.file, 0, SEEK_SET) != 0 || write_header(x, 0)) write_failed(x);
    return true;
}

// Bytes per frame come from the frame in hand, so a change of quantization inside a
// track never copies more than the frame holds. A frame without subcode (blank tape, or
// the zeros of a failed read under /STOPEOT) has no format of its own, and a rate blip
// a damaged one: both are stored in the track's, so that the track's timing stays true.
bool in_track_format(const Extraction& x) {
    return x.job->no_subcode || x.frame_rate_blip;
}

bool frame_is_long_play(const Extraction& x) {
    const int bits = in_track_format(x) ? x.track_sample_bits : x.job->sample_bits;
    return bits == 12;
}

int frame_pcm_bytes(const Extraction& x) {
    if (frame_is_long_play(x)) return kLongPlayPcmBytes;
    const int rate_code = in_track_format(x) ? x.job->file_rate_code : x.job->rate_code;
    return audio_bytes_per_frame(rate_code, 16);
}

int convert_frame(Extraction& x) {
    if (frame_is_long_play(x)) return decode_lp_frame(x.pcm, x.frame.audio);
    int bytes = frame_pcm_bytes(x);
    memcpy(x.pcm, x.frame.audio, static_cast<size_t>(bytes));
    return bytes;
}

// The drive flags damaged audio in sub-ID byte 3; only 16-bit frames can be repaired.
// True when the frame was repaired.
bool report_damage(Extraction& x, int bytes) {
    int flags = frame_error_flags(x.frame);
    if (flags == 0) return false;
    status_line_flush();
    printf("\n - Error detected in data buffer ... ");
    if (x.job->input_drive_kind == 0) {
        if (flags & kErrorLeft) printf(": LEFT channel");
        if (flags & kErrorRight) printf(": RIGHT channel");
    }
    const bool repair = !frame_is_long_play(x) && x.job->error_correct;
    if (repair) {
        printf("attempting to correct\n");
        conceal_errors(x.frame.audio, x.pcm, bytes, flags);
    } else {
        printf("\n");
    }
    status_line_closed();
    return repair;
}

void log_stored_frame(Extraction& x, int bytes, bool repaired) {
    const int channels = damaged_channels(frame_error_flags(x.frame));
    int damage =
        (channels & kDamagedLeft ? kDamageLeft : 0) | (channels & kDamagedRight ? kDamageRight : 0);
    if (x.frame_unreadable) damage |= kDamageUnreadable;
    if (x.frame_rate_blip) damage |= kDamageRate;
    FrameFacts facts = frame_facts(x.job, damage, repaired);
    facts.start_id = x.frame_start_id;
    facts.long_play = frame_is_long_play(x);
    log_frame(&x.log, facts, x.pcm, static_cast<size_t>(bytes));
}

// False when the file takes no more (reported): the job then ends in order.
bool store_pcm(Extraction& x, int bytes) {
    if (x.playback) {
        output_waveout(x.pcm, static_cast<uint32_t>(bytes), x.params);
        return playback_intact(x);
    }
    // Only whole frames count; the close cuts off a partial one.
    if (fwrite(x.pcm, static_cast<size_t>(bytes), 1, x.file) == 1) {
        x.track_bytes += static_cast<uint32_t>(bytes);
        return true;
    }
    write_failed(x);
    return false;
}

// The RIFF length field has 32 bits: a file that could not take the frame in hand is
// closed, and the frame opens the next one.
bool file_full(const Extraction& x) {
    if (x.playback || x.track_bytes == 0) return false;
    uint64_t after = static_cast<uint64_t>(x.track_bytes) + frame_pcm_bytes(x);
    return after > wav_data_limit(x.bwf);
}

void poll_keys(Extraction& x) {
    if (key_waiting() && read_key() == kKeyEsc) {
        x.stop = true;
        log_stop_key(&x.log);
    }
}

// A frame without subcode (blank tape, or the zeros of a failed read under /STOPEOT)
// has no rate of its own: it neither restarts nor ends a track, and the track's rate is
// compared with the next recorded frame.
bool rate_differs(const JobState* job) {
    return !job->no_subcode && job->rate_code != job->file_rate_code;
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
        show_status_line(job);
        int bytes = convert_frame(x);
        const bool repaired = report_damage(x, bytes);
        if (!store_pcm(x, bytes)) break;
        log_stored_frame(x, bytes, repaired);
        note_track_program(x);
        read_next_frame(x);
        x.track_frames++;
        poll_keys(x);
        // The frame that ends the job is never stored: it must not restart the track and
        // drop what the track holds.
        if (job->end_reached && !x.stop) log_end(&x.log, END_RECORDING);
        if (job->end_reached || x.stop) break;
        if (job->new_start_id && x.track_frames < kHoldOffFrames) job->new_start_id = 0;
        if (rate_differs(job)) {
            if (rate_blip(x)) {
                x.frame_rate_blip = true;
                continue;
            }
            if (x.track_frames >= kHoldOffFrames || other_program_began(x)) break;
            if (!restart_track(x)) return false;
        }
    }
    return true;
}

// 0 when the tracks have been read; 1 when the first could not be opened.
int extract_tracks(Extraction& x) {
    JobState* job = x.job;
    for (;;) {
        if (!open_track(x)) return x.started ? 0 : 1;
        x.started = true;
        if (!x.stop && !run_frame_loop(x)) return 0;
        close_track(x);
        x.track_number++;
        if (job->end_reached || x.stop) return 0;
    }
}

// "TRV", the transfer's start as yyyymmddhhmmss and six random hexadecimal digits: with
// the track number, unique to each file.
void make_reference_stem(Extraction& x) {
    const LocalTime& t = x.log.started;
    std::random_device random;
    snprintf(x.reference_stem, sizeof x.reference_stem, "TRV%04d%02d%02d%02d%02d%02d%06X",
             t.year % 10000, t.month % 100, t.day % 100, t.hour % 100, t.minute % 100,
             t.second % 100, random() & 0xFFFFFF);
}

}  // namespace

int tape_to_wav(JobState* job, ParamBlock* params, FrameSource* source) {
    take_data_limit_from_environment();
    Extraction x{};
    x.job = job;
    x.params = params;
    x.source = source;
    x.playback = job->wave_out != 0;
    x.bwf = job->bwf != 0 && !x.playback;
    x.track_number = 1;
    // Playback leaves no records: its tracks need no checksums.
    log_begin(&x.log, "TERVANO", x.playback ? nullptr : "audio_md5", job);
    make_reference_stem(x);

    reset_live_status(job);
    if (!probe_tape(x)) return 1;
    if (job->rewind && !scan_past_lead_in(x)) return 1;
    frame_source_wait_ready(source, kReadyTimeoutMs);
    job->end_reached = 0;
    x.frame_start_id = job->new_start_id != 0;
    if (extract_tracks(x) != 0) return 1;

    log_finish(&x.log);
    if (!x.playback) write_transfer_records(x.log, job->file_name);  // failures: a line each
    print_line("%s", log_summary(x.log).c_str());
    return log_ended_on_error(x.log) ? kJobEndedEarly : 0;
}
