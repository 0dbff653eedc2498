#pragma once
// What a transfer did, for the closing summary line, the transfer report, the checksums
// and the timeline picture. The jobs fill it frame by frame through the log_* functions;
// transfer_report and timeline_svg write it out.
//
// A track is a run of frames of one program in one output file: a file that holds
// programs 1 to 3 has three tracks, a program split over two files two. Frames without a
// program number (lead-in, lead-out, blank tape) belong to the track they fall in.
// Positions count the frames taken from the tape from 0, stored or not.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/job_state.h"
#include "platform/clock.h"
#include "platform/md5.h"
#include "scsi/aspi_transport.h"

enum EndReason {
    END_NONE,
    END_RECORDING,  // blank check, end of data, the blank-run signal
    END_ESC,
    END_SIGNAL,          // SIGINT, SIGTERM or SIGHUP, taken like ESC
    END_READ_ERROR,      // not the end of the recorded area
    END_WRITE_ERROR,     // a file or a tape that took no more
    END_IMAGE_END,       // the input image has no more whole frames
    END_PLAYBACK_ERROR,  // the audio device could not be reopened
};

// Damage bits: a frame may carry several.
constexpr int kDamageLeft = 1;        // the drive flagged the left channel
constexpr int kDamageRight = 2;       // ... the right channel
constexpr int kDamageUnreadable = 4;  // the read failed: silence stored, or left out of a copy
constexpr int kDamageRate = 8;        // a lone frame at another rate, stored in the track's

// One frame as the subcode reader decoded it, and what the job made of it.
struct FrameFacts {
    bool subcode;
    int program;  // the absolute-time pack's 12-bit program number
    bool abs_valid;
    uint32_t abs_time;  // BCD; carried forward over frames without a valid one
    uint32_t program_time;
    int rate_code;
    bool long_play;
    int channels_code;
    int scms_code;
    uint32_t date_ymd;  // BCD, 0 when the frame has no date pack
    uint32_t date_hms;
    bool start_id;  // the first frame of a start-ID run
    int damage;     // kDamage* bits
    bool repaired;
};

struct TrackLog {
    int file;            // index in TransferLog::files, -1 when the job writes no file
    int program;         // 12-bit BCD value (0x123 is program 123); 0 before a program frame
    uint32_t first_abs;  // BCD, kNoTime when the track had no valid absolute time
    uint32_t last_abs;
    uint64_t first_position;
    uint64_t last_position;
    uint64_t frames;
    uint64_t audio_ms;
    bool format_known;  // rate, long play, channels and SCMS come from its first frame
    int rate_code;
    bool long_play;
    int channels_code;
    int scms_code;
    uint32_t date_ymd;  // the first date pack, 0 when none
    uint32_t date_hms;
    int start_ids;
    int damaged;
    int repaired;
    int md5_id;  // of the bytes stored for the track, when the log keeps track checksums
    char md5_hex[kMd5HexSize];
};

struct DamageLog {
    int track;  // index in TransferLog::tracks, -1 before the first
    uint64_t position;
    uint32_t abs_time;
    uint32_t program_time;
    int damage;
    bool repaired;
    bool stored;
};

struct BlankRun {
    uint64_t first_position;
    uint64_t frames;
};

struct Md5QueueDeleter {
    void operator()(Md5Queue* queue) const { md5_queue_delete(queue); }
};

struct TransferLog {
    const char* job;      // the mode: "TERVANO", "DAT2IMG" ...
    const char* md5_key;  // report key of a track's checksum; nullptr: tracks get none
    std::string input;    // the input drive, "adapter:target", or the input image
    LocalTime started;
    std::vector<std::string> files;  // the output files, in order
    std::vector<int> file_md5_ids;
    std::vector<Md5Result> file_md5s;  // after log_finish: each file's checksum
    bool files_hashed_as_written;      // a file holds exactly the bytes logged into it
    // Checksums on threads of their own: the tracks' as frames are stored, the files' (one
    // file's while the next is written) on a second, so that both cores hash.
    std::unique_ptr<Md5Queue, Md5QueueDeleter> track_hasher;
    std::unique_ptr<Md5Queue, Md5QueueDeleter> file_hasher;
    int next_md5_id;
    std::vector<TrackLog> tracks;
    std::vector<DamageLog> damage;
    std::vector<BlankRun> blanks;
    std::vector<uint64_t> start_id_positions;
    uint64_t position;  // the next frame's
    uint64_t frames;    // stored
    uint64_t audio_ms;
    int damaged;
    int repaired;
    uint64_t dropped;  // dropped by early rate changes
    // The first valid absolute time and its position anchor the picture's time axis.
    int64_t anchor_position;
    int64_t anchor_frames;
    uint32_t last_abs;  // of the last frame stored with a valid absolute time
    EndReason end;
    std::string end_detail;
};

void log_begin(TransferLog* log, const char* job_name, const char* md5_key, const JobState* job);

// The decoded state of the frame read last, with what the job found wrong with it.
FrameFacts frame_facts(const JobState* job, int damage, bool repaired);

// An output file was opened: the next frame begins a track in it.
void log_file_opened(TransferLog* log, const char* name);
// Each output file holds exactly the bytes logged into it, in order (an image): its
// checksum is taken from them as they are written, not read back after the job.
void log_hash_files_as_written(TransferLog* log);
// The file opened last is closed: its checksum is taken on the hasher's thread.
void log_file_closed(TransferLog* log);
// The file opened last was removed before it held a frame.
void log_file_removed(TransferLog* log);

// A frame taken from the tape: stored (bytes, length) or, with bytes nullptr, left out.
void log_frame(TransferLog* log, const FrameFacts& facts, const void* bytes, size_t length);

// Drops the tracks of the file opened last (a track restarted at a new rate); returns the
// frames dropped.
uint64_t log_drop_file_tracks(TransferLog* log);

// The first reason given is kept.
void log_end(TransferLog* log, EndReason reason, const std::string& detail = "");
void log_read_error(TransferLog* log, ScsiStatus status);
// ESC, or the signal whose ESC the keyboard handed out.
void log_stop_key(TransferLog* log);

// Completes the tracks' and files' checksums; call once, after the last file is closed.
void log_finish(TransferLog* log);

// True when the job started and ended on an error (exit code 5).
bool log_ended_on_error(const TransferLog& log);

// "Done: 3 files, 41250 frames (00:20:37), 12 damaged frames (12 repaired); ended at the
// end of the recording\n"
std::string log_summary(const TransferLog& log);

// "hh:mm:ss:ff" of a BCD time, "--:--:--:--" when it is not one.
std::string format_bcd_time(uint32_t time);
// "hh:mm:ss" and, with milliseconds, "hh:mm:ss.mmm".
std::string format_duration(uint64_t ms, bool milliseconds);
// The position on the absolute-time axis, in frames from 00:00:00:00.
int64_t log_axis_frames(const TransferLog& log, uint64_t position);
