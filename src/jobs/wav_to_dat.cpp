// WAV to tape recording (/WAV2DAT): the files a cue file lists go onto the tape in the
// output drive as a DAT recorder writes them: lead-in, optional lead-in silence, one
// program per file (with inter-track silence after it), optional lead-out silence and
// the lead-out.
//
// Cue file (a profile file; section and key names in any case, ';' starts a comment
// only at the beginning of a line):
//
//   [FILES]
//   FILE_001=first.wav       (program 1; the list ends at the first number that is
//   FILE_002=second.wav       absent or NONE)
//   [CONFIG]
//   STARTID=ON               (switches: on when absent; when given, only exactly "ON")
//   SCMS=00                  (00, 01, 10 or 11)
//   ABS_TIME=ON              (announced only: absolute time and program numbers are
//   PROGRAM_NUMBER=ON         always written)
//   32KHZ_LP=ON
//   TIME_DATE=ON
//   INTERTRACK_SILENCE=0     (seconds)
//   LEADIN_SILENCE=0
//   LEADOUT_SILENCE=0
//   RATE=48000               (every file at this rate, 44100 or 32000; absent or 0: each
//                             file keeps its rate when the tape carries it)

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame/subcode_writer.h"
#include "input/input_reader.h"
#include "jobs/cue_file.h"
#include "jobs/jobs.h"
#include "jobs/lead_blocks.h"
#include "jobs/record_file.h"
#include "jobs/transfer_log.h"
#include "platform/dynamic_library.h"
#include "platform/keyboard.h"
#include "scsi/sense_text.h"

namespace {

constexpr int kHighestProgramNumber = 799;
constexpr ScsiStatus kSequentialPositioningError = 0x033B00;  // MEDIUM ERROR, 3Bh/00h
constexpr ScsiStatus kWriteProtected = 0x2700;                // ASC 27h, ASCQ 00h

enum KeyKind { KEY_SWITCH, KEY_SCMS, KEY_SECONDS, KEY_RATE };

struct ConfigKey {
    const char* key;
    const char* default_value;
    const char* error_line;
    const char* announcement;
    KeyKind kind;
    bool CueSettings::*flag;  // KEY_SWITCH with a setting
    int CueSettings::*seconds;
};

// In the order the settings are read and announced.
const ConfigKey kConfigKeys[] = {
    {"STARTID", "ON", "startid error %d\n", "Start IDs will be marked\n", KEY_SWITCH,
     &CueSettings::start_ids, nullptr},
    {"SCMS", "00", "scms error %d\n", "SCMS will be set to %s\n", KEY_SCMS, nullptr, nullptr},
    {"ABS_TIME", "ON", "abs_time error %d\n", "Absolute time will be marked\n", KEY_SWITCH, nullptr,
     nullptr},
    {"PROGRAM_NUMBER", "ON", "program_number error %d\n", "Program numbers will be marked\n",
     KEY_SWITCH, nullptr, nullptr},
    {"32KHZ_LP", "ON", "32klp error %d\n", "32KHz Long Play (LP) will be used if needed\n",
     KEY_SWITCH, &CueSettings::long_play, nullptr},
    {"TIME_DATE", "ON", "time_date error %d\n", "Time and date will be marked\n", KEY_SWITCH,
     &CueSettings::time_date, nullptr},
    {"INTERTRACK_SILENCE", "0", "intertrack_silence error %d\n",
     "Inter-track silence = %d seconds\n", KEY_SECONDS, nullptr, &CueSettings::intertrack_silence},
    {"LEADIN_SILENCE", "0", "lead-in_silence error %d\n", "Lead-in silence = %d seconds\n",
     KEY_SECONDS, nullptr, &CueSettings::leadin_silence},
    {"LEADOUT_SILENCE", "0", "lead-out_silence error %d\n", "Lead-out silence = %d seconds\n",
     KEY_SECONDS, nullptr, &CueSettings::leadout_silence},
    {"RATE", "0", "rate error %d\n", "Every file will be recorded at %d Hz\n", KEY_RATE, nullptr,
     nullptr},
};

// A value as the profile reader gives it: the default for an absent key. An empty value
// prints the key's error line with the last error code (0: the reader works in memory).
std::string read_value(const CueFile& cue, const char* section, const char* key,
                       const char* default_value, const char* error_line) {
    errno = 0;
    const std::string* value = profile_find(cue.profile, section, key);
    std::string text = value ? *value : default_value;
    if (text.empty()) printf(error_line, errno);
    return text;
}

std::string read_file_entry(const CueFile& cue, int number, const char* default_value) {
    char key[24];
    snprintf(key, sizeof key, "FILE_%.3d", number);
    return read_value(cue, "FILES", key, default_value, "which_file error %d\n");
}

// Like "%d": leading blanks and a sign, then digits as far as they go; no digits give 0.
int parse_int(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    long value = strtol(start, &end, 10);
    if (end == start) return 0;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int scms_code(const std::string& text) {
    const char* const codes[] = {"00", "01", "10", "11"};
    for (int code = 0; code < 4; ++code) {
        if (text == codes[code]) return code;
    }
    return 0;
}

void apply_config_key(const ConfigKey& k, const std::string& value, CueSettings* settings) {
    switch (k.kind) {
        case KEY_SWITCH:
            if (value != "ON") return;
            if (k.flag) settings->*k.flag = true;
            printf("%s", k.announcement);
            return;
        case KEY_SCMS:
            printf(k.announcement, value.c_str());
            settings->scms = scms_code(value);
            return;
        case KEY_SECONDS:
            if (value == "0") return;
            settings->*k.seconds = parse_int(value);
            printf(k.announcement, settings->*k.seconds);
            return;
        case KEY_RATE:
            if (value.empty() || value == "0") return;
            settings->rate =
                value == "48000" || value == "44100" || value == "32000" ? parse_int(value) : -1;
            if (settings->rate > 0) printf(k.announcement, settings->rate);
            if (settings->rate < 0) {
                printf("RATE %s is not a tape rate (48000, 44100 or 32000): nothing recorded\n",
                       value.c_str());
            }
            return;
    }
}

CueSettings read_settings(const CueFile& cue) {
    CueSettings settings{};
    for (const ConfigKey& k : kConfigKeys) {
        apply_config_key(k, read_value(cue, "CONFIG", k.key, k.default_value, k.error_line),
                         &settings);
    }
    return settings;
}

bool positioning_error(ScsiStatus status) {
    return (status & 0xFFFFFF) == kSequentialPositioningError;
}

// What a recording put on the tape, and what ended it, for its closing line.
struct Recorded {
    int files;           // recorded, in whole or in part
    int not_opened;      // listed files that could not be opened
    bool cut_short;      // the list went on past the highest program number
    bool stopped;        // ESC (a stop signal comes as ESC)
    ScsiStatus failure;  // of the write that failed, 0 when none did
};

// 0 when the lead-in is on the tape; else the failed write's status, reported here.
ScsiStatus write_lead_in_retried(const ScsiAddress& o) {
    ScsiStatus status = write_lead_in(o.adapter, o.target, o.lun);
    if (positioning_error(status)) {
        printf("Tape positioning error.. trying again...");
        status = write_lead_in(o.adapter, o.target, o.lun);
    }
    if (status == 0) return 0;
    if ((status & 0xFFFF) == kWriteProtected) {
        printf("Tape write protect error\n");
    } else {
        printf("Tape write error %x\n", status);
    }
    return status;
}

// A silence retried once on a sequential positioning error; 0 or the failed write's status.
ScsiStatus write_silence_retried(ScsiStatus (*write)(int, int, int, int), const ScsiAddress& o,
                                 int seconds, const char* retry_line) {
    ScsiStatus status = write(o.adapter, o.target, o.lun, seconds);
    if (positioning_error(status)) {
        printf("%s", retry_line);
        status = write(o.adapter, o.target, o.lun, seconds);
    }
    return status;
}

// The lead-in silence takes the format of the first file.
void take_first_file_format(const std::string& first, const CueSettings& settings) {
    input_examine(first.c_str());  // its lines come when the file is recorded
    const bool long_play = settings.long_play && frame_rate_code(write_template) == 2;
    write_template.format[1] =
        static_cast<uint8_t>((write_template.format[1] & 0x3F) | (long_play ? 0x40 : 0x00));
}

// 0, 1 (the drive is not usable) or kJobEndedEarly (a frame write failed).
int record_list(const CueFile& cue, const CueSettings& settings, std::string name,
                const ScsiAddress& output, Recorded* recorded) {
    for (int number = 1;; ++number) {
        RecordResult file = record_file(name.c_str(), number, settings, output);
        if (file.outcome == RECORD_DRIVE_UNUSABLE) return 1;
        recorded->files += file.not_opened ? 0 : 1;
        recorded->failure = file.failure;
        if (file.outcome == RECORD_WRITE_FAILED) return kJobEndedEarly;
        if (file.not_opened) ++recorded->not_opened;
        printf("\n");
        name = read_file_entry(cue, number + 1, "NONE");
        recorded->stopped = file.last_key == kKeyEsc;
        if (recorded->stopped || name == "NONE") return 0;
        if (number + 1 > kHighestProgramNumber) {
            printf("FILE_%.3d and after not recorded: program numbers end at %d\n", number + 1,
                   kHighestProgramNumber);
            recorded->cut_short = true;
            return 0;
        }
    }
}

// The silences and the lead-out are written whatever went before, unless a frame write
// failed: the tape may be full. The failure of a silence or the lead-out is the last one.
int record_cue(const CueFile& cue, const CueSettings& settings, const std::string& first,
               const ScsiAddress& o, Recorded* recorded) {
    recorded->failure = write_lead_in_retried(o);
    if (recorded->failure != 0) return 1;
    take_first_file_format(first, settings);
    ScsiStatus failed = 0;
    if (settings.leadin_silence > 0) {
        failed = write_silence_retried(write_lead_in_silence, o, settings.leadin_silence,
                                       "... trying again...");
    }
    printf("\n");
    const int outcome = record_list(cue, settings, first, o, recorded);
    if (outcome != 0) return outcome;
    printf("\n");
    if (settings.leadout_silence > 0) {
        const ScsiStatus status = write_silence_retried(
            write_lead_out_silence, o, settings.leadout_silence, ".. trying again...");
        if (status != 0) failed = status;
    }
    const ScsiStatus lead_out = write_lead_out(o.adapter, o.target, o.lun);
    if (lead_out != 0) failed = lead_out;
    printf("\n");
    recorded->failure = failed;
    if (recorded->not_opened > 0) {
        printf("%d listed file(s) could not be opened\n", recorded->not_opened);
    }
    return failed || recorded->not_opened > 0 || recorded->cut_short ? kJobEndedEarly : 0;
}

// "Done: 2 files, 1234 frames written to tape (00:00:37); ended at the end of the list\n"
void print_recorded(const Recorded& recorded) {
    const TapeWritten written = template_frames_written(false);
    const unsigned long long frames = written.frames;
    printf("Done: %d file%s, %llu frame%s written to tape (%s); ended ", recorded.files,
           recorded.files == 1 ? "" : "s", frames, frames == 1 ? "" : "s",
           format_duration(written.ms, false).c_str());
    char words[96];
    if (recorded.failure != 0) {
        scsi_status_words(recorded.failure, words, sizeof words);
        printf("at a write error: %s\n", words);
    } else if (recorded.stopped) {
        const int sig = keyboard_stop_signal();
        printf("by %s\n", sig ? keyboard_signal_name(sig) : "ESC");
    } else {
        printf("at the end of the list\n");
    }
}

// The cue file, or false after saying why there is none.
bool open_cue_file(const JobState* job, CueFile* cue) {
    CueStatus status = find_cue_file(job->file_name, platform_executable_folder(), cue);
    if (status == CUE_UNREADABLE) {
        printf("Cannot read cue file %s: %s\n", cue->path.c_str(), cue->reason.c_str());
        return false;
    }
    if (read_file_entry(*cue, 1, "JUNK") == "JUNK") {
        printf("Cannot find cue file: %s\n", cue->path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int wav_to_dat(JobState* job) {
    printf("\n");
    CueFile cue;
    if (!open_cue_file(job, &cue)) return 1;
    const CueSettings settings = read_settings(cue);
    if (settings.rate < 0) return 1;
    input_force_rate(settings.rate);
    printf("\n");
    const std::string first = read_file_entry(cue, 1, "NONE");
    if (first == "NONE") {
        printf("no file\n");
        return 0;
    }
    // Checked before the lead-in too: a lead-in must never go to a disk.
    if (!output_drive_usable(job->output)) return 1;
    Recorded recorded{};
    template_frames_written(true);
    const int result = record_cue(cue, settings, first, job->output, &recorded);
    print_recorded(recorded);
    return result;
}
