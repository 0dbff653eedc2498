#include "jobs/transfer_log.h"

#include <cstdio>
#include <cstring>

#include "frame/audio_frame.h"
#include "platform/keyboard.h"
#include "scsi/sense_text.h"

namespace {

constexpr int kFrameMs = 30;          // 1440 pairs at 48 kHz, 1323 at 44.1, 960 at 32
constexpr int kLongPlayFrameMs = 60;  // 1920 pairs at 32 kHz

bool is_program_number(int pno) {
    return pno != 0 && pno != kPnoInvalid && pno != kPnoLeadIn && pno != kPnoLeadOut;
}

int current_file(const TransferLog* log) {
    return static_cast<int>(log->files.size()) - 1;
}

bool starts_track(const TransferLog* log, const FrameFacts& f) {
    if (log->tracks.empty()) return true;
    const TrackLog& track = log->tracks.back();
    if (track.file != current_file(log)) return true;
    return f.subcode && is_program_number(f.program) && track.program != 0 &&
           f.program != track.program;
}

void open_track(TransferLog* log) {
    TrackLog track{};
    track.file = current_file(log);
    track.first_abs = track.last_abs = kNoTime;
    track.first_position = log->position;
    if (log->md5_key) track.md5_id = log->next_md5_id++;
    log->tracks.push_back(track);
}

void take_format(TrackLog* track, const FrameFacts& f) {
    if (track->format_known || !f.subcode || (f.damage & kDamageRate)) return;
    track->format_known = true;
    track->rate_code = f.rate_code;
    track->long_play = f.long_play;
    track->channels_code = f.channels_code;
    track->scms_code = f.scms_code;
}

void note_blank(TransferLog* log, const FrameFacts& f) {
    if (f.subcode) return;
    if (!log->blanks.empty()) {
        BlankRun& run = log->blanks.back();
        if (run.first_position + run.frames == log->position) {
            ++run.frames;
            return;
        }
    }
    log->blanks.push_back({log->position, 1});
}

void note_times(TransferLog* log, TrackLog* track, const FrameFacts& f) {
    if (!f.abs_valid) return;
    if (log->anchor_position < 0) {
        log->anchor_position = static_cast<int64_t>(log->position);
        log->anchor_frames = bcd_time_frames(f.abs_time);
    }
    if (track->first_abs == kNoTime) track->first_abs = f.abs_time;
    track->last_abs = f.abs_time;
    log->last_abs = f.abs_time;
}

void note_damage(TransferLog* log, const FrameFacts& f, bool stored) {
    if (f.damage == 0) return;
    const int track = static_cast<int>(log->tracks.size()) - 1;
    log->damage.push_back(
        {track, log->position, f.abs_time, f.program_time, f.damage, f.repaired, stored});
    log->damaged++;
    if (f.repaired) log->repaired++;
    if (track < 0) return;
    log->tracks[track].damaged++;
    if (f.repaired) log->tracks[track].repaired++;
}

bool is_error(EndReason reason) {
    return reason == END_READ_ERROR || reason == END_WRITE_ERROR || reason == END_PLAYBACK_ERROR;
}

std::string plural(uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

void log_begin(TransferLog* log, const char* job_name, const char* md5_key, const JobState* job) {
    *log = TransferLog{};
    log->job = job_name;
    log->md5_key = md5_key;
    if (job->input_image_given) {
        log->input = job->input_image;
    } else {
        log->input = std::to_string(job->input.adapter) + ":" + std::to_string(job->input.target);
    }
    platform_local_time(&log->started);
    log->anchor_position = -1;
    log->last_abs = kNoTime;
    log->track_hasher.reset(md5_queue_new());
    log->file_hasher.reset(md5_queue_new());
}

FrameFacts frame_facts(const JobState* job, int damage, bool repaired) {
    FrameFacts f{};
    f.subcode = !job->no_subcode;
    f.program = job->abs_time_pno;
    f.abs_time = job->abs_time;
    f.abs_valid = f.subcode && f.program != kPnoInvalid && f.program != kPnoLeadIn &&
                  bcd_time_frames(job->abs_time) >= 0;
    f.program_time = job->program_time;
    f.rate_code = job->rate_code;
    f.long_play = job->sample_bits == 12;
    f.channels_code = job->channels_code;
    f.scms_code = job->scms_code;
    f.date_ymd = f.subcode ? job->date_ymd : 0;
    f.date_hms = f.subcode ? job->date_hms : 0;
    f.start_id = job->new_start_id != 0;
    f.damage = damage;
    f.repaired = repaired;
    return f;
}

void log_file_opened(TransferLog* log, const char* name) {
    log->files.emplace_back(name);
    log->file_md5_ids.push_back(log->next_md5_id++);
}

void log_hash_files_as_written(TransferLog* log) {
    log->files_hashed_as_written = true;
}

void log_file_closed(TransferLog* log) {
    if (log->files.empty()) return;
    if (log->files_hashed_as_written) {
        md5_queue_end(log->file_hasher.get(), log->file_md5_ids.back());
    } else {
        md5_queue_file(log->file_hasher.get(), log->file_md5_ids.back(), log->files.back().c_str());
    }
}

void log_file_removed(TransferLog* log) {
    if (log->files.empty()) return;
    log->files.pop_back();
    log->file_md5_ids.pop_back();
}

void log_frame(TransferLog* log, const FrameFacts& f, const void* bytes, size_t length) {
    const bool stored = bytes != nullptr;
    if (stored && starts_track(log, f)) open_track(log);
    if (stored) {
        TrackLog& track = log->tracks.back();
        if (track.program == 0 && f.subcode && is_program_number(f.program)) {
            track.program = f.program;
        }
        take_format(&track, f);
        note_times(log, &track, f);
        if (track.date_ymd == 0 && f.date_ymd != 0) {
            track.date_ymd = f.date_ymd;
            track.date_hms = f.date_hms;
        }
        if (f.start_id) track.start_ids++;
        const int ms = f.long_play ? kLongPlayFrameMs : kFrameMs;
        track.frames++;
        track.audio_ms += ms;
        track.last_position = log->position;
        if (log->md5_key) md5_queue_add(log->track_hasher.get(), track.md5_id, bytes, length);
        if (log->files_hashed_as_written) {
            md5_queue_add(log->file_hasher.get(), log->file_md5_ids.back(), bytes, length);
        }
        log->frames++;
        log->audio_ms += ms;
    }
    if (f.start_id) log->start_id_positions.push_back(log->position);
    note_blank(log, f);
    note_damage(log, f, stored);
    log->position++;
}

uint64_t log_drop_file_tracks(TransferLog* log) {
    const int file = current_file(log);
    uint64_t dropped = 0;
    while (!log->tracks.empty() && log->tracks.back().file == file) {
        const TrackLog& track = log->tracks.back();
        const int index = static_cast<int>(log->tracks.size()) - 1;
        dropped += track.frames;
        log->frames -= track.frames;
        log->audio_ms -= track.audio_ms;
        while (!log->damage.empty() && log->damage.back().track == index) {
            log->damaged--;
            if (log->damage.back().repaired) log->repaired--;
            log->damage.pop_back();
        }
        log->tracks.pop_back();
    }
    log->dropped += dropped;
    return dropped;
}

void log_end(TransferLog* log, EndReason reason, const std::string& detail) {
    // The first reason stands, but an error met while closing up after a clean end (the
    // last flush of a file on a full disk) must not let the job pass for a finished one.
    if (log->end != END_NONE && (is_error(log->end) || !is_error(reason))) return;
    log->end = reason;
    log->end_detail = detail;
}

void log_read_error(TransferLog* log, ScsiStatus status) {
    char words[96];
    scsi_status_words(status, words, sizeof words);
    std::string detail = words;
    if (log->last_abs != kNoTime) detail += " after " + format_bcd_time(log->last_abs);
    log_end(log, END_READ_ERROR, detail);
}

void log_stop_key(TransferLog* log) {
    const int sig = keyboard_stop_signal();
    if (sig == 0) {
        log_end(log, END_ESC);
    } else {
        log_end(log, END_SIGNAL, keyboard_signal_name(sig));
    }
}

void log_finish(TransferLog* log) {
    // Ids are unique across both queues: each result is taken from the queue that made it.
    std::vector<Md5Result> tracks;
    std::vector<Md5Result> files;
    if (log->md5_key) {
        for (const TrackLog& track : log->tracks)
            md5_queue_end(log->track_hasher.get(), track.md5_id);
    }
    md5_queue_results(log->track_hasher.get(), &tracks);
    md5_queue_results(log->file_hasher.get(), &files);
    auto result = [](const std::vector<Md5Result>& results, int id) {
        return static_cast<size_t>(id) < results.size() ? results[static_cast<size_t>(id)]
                                                        : Md5Result{};
    };
    if (log->md5_key) {
        for (TrackLog& track : log->tracks) {
            memcpy(track.md5_hex, result(tracks, track.md5_id).hex, kMd5HexSize);
        }
    }
    log->file_md5s.clear();
    for (int id : log->file_md5_ids) log->file_md5s.push_back(result(files, id));
    log->track_hasher.reset();
    log->file_hasher.reset();
}

bool log_ended_on_error(const TransferLog& log) {
    return is_error(log.end);
}

std::string log_summary(const TransferLog& log) {
    std::string reason;
    switch (log.end) {
        case END_NONE:  // every way out of a job records its reason; this must not show
            reason = "for a reason not recorded";
            break;
        case END_RECORDING:
            reason = "at the end of the recording";
            break;
        case END_ESC:
            reason = "by ESC";
            break;
        case END_SIGNAL:
            reason = "by " + log.end_detail;
            break;
        case END_READ_ERROR:
            reason = "at a read error: " + log.end_detail;
            break;
        case END_WRITE_ERROR:
            reason = "at a write error: " + log.end_detail;
            break;
        case END_IMAGE_END:
            reason = "at the end of the input image";
            break;
        case END_PLAYBACK_ERROR:
            reason = "at a playback error: " + log.end_detail;
            break;
    }
    return "Done: " + plural(log.files.size(), "file") + ", " + plural(log.frames, "frame") + " (" +
           format_duration(log.audio_ms, false) + "), " +
           plural(static_cast<uint64_t>(log.damaged), "damaged frame") + " (" +
           std::to_string(log.repaired) + " repaired); ended " + reason + "\n";
}

std::string format_bcd_time(uint32_t time) {
    if (bcd_time_frames(time) < 0) return "--:--:--:--";
    char text[16];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x", time >> 24, (time >> 16) & 0xFF,
             (time >> 8) & 0xFF, time & 0xFF);
    return text;
}

std::string format_duration(uint64_t ms, bool milliseconds) {
    const uint64_t seconds = ms / 1000;
    char text[40];
    int n = snprintf(text, sizeof text, "%02llu:%02llu:%02llu",
                     static_cast<unsigned long long>(seconds / 3600),
                     static_cast<unsigned long long>(seconds / 60 % 60),
                     static_cast<unsigned long long>(seconds % 60));
    if (milliseconds)
        snprintf(text + n, sizeof text - n, ".%03llu", (unsigned long long)(ms % 1000));
    return text;
}

int64_t log_axis_frames(const TransferLog& log, uint64_t position) {
    const int64_t p = static_cast<int64_t>(position);
    if (log.anchor_position < 0) return p;
    return log.anchor_frames + (p - log.anchor_position);
}
