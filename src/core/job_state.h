#pragma once
// The two run-wide records. The run sequence allocates both zeroed, owns them for the
// whole run and passes them by pointer; nothing else allocates or frees them.

#include <cstdint>

struct ScsiAddress {
    int32_t adapter;
    int32_t target;
    int32_t lun;  // always 0
};

constexpr int kFileNameSize = 314;  // 313 characters and the terminating zero

struct JobState {
    // live tape status, kept by read_subcode
    int32_t end_reached;
    int32_t start_id_seen;
    int32_t new_start_id;
    int32_t no_subcode;
    int32_t rate_code;  // 0 = 48 kHz, 1 = 44.1 kHz, 2 = 32 kHz
    int32_t sample_bits;
    int32_t rate_changed;
    int32_t file_rate_code;  // rate of the WAV file being written
    int32_t had_subcode;
    int32_t channels_code;
    int32_t quantization_code;
    int32_t scms_code;
    // drive identification: 1 for an SDT-9000 family drive
    int32_t input_drive_kind;
    int32_t output_drive_kind;
    // 1 once preparation has begun to switch the drive to audio mode: the release sets
    // such a drive back, however the run ends after that
    int32_t input_audio_mode;
    int32_t output_audio_mode;
    int32_t blank_frames;
    uint32_t program_time_raw;  // BCD h:m:s:f, hours in bits 31-24
    int32_t program_time_pno;
    int32_t program_number;
    uint32_t abs_time;
    uint32_t program_time;
    uint32_t abs_time_raw;
    int32_t abs_time_pno;
    uint32_t date_ymd;
    uint32_t date_hms;
    // settings, written only by parse_command_line
    int32_t seek_kind;  // 0 PROGNUM, 1 ABSTIME, 2 RUNTIME, 3 PROGTIME
    uint32_t seek_target;
    // keyword positions on the command line (1-based), 0 when absent
    int32_t input_id_given;
    int32_t output_id_given;
    int32_t wave_out;
    int32_t rewind;
    int32_t split_on_start_id;
    int32_t mrs_off;
    int32_t mode_tape_to_wav;
    int32_t mode_wav_to_tape;
    int32_t mode_tape_to_image;
    int32_t mode_image_to_tape;
    int32_t mode_tape_to_tape;
    int32_t stop_at_eot;
    int32_t error_correct;
    int32_t seek;
    int32_t bwf;                // WAV files as Broadcast Wave
    int32_t input_image_given;  // position of /INPUTIMG: an image file is the input
    ScsiAddress input;
    ScsiAddress output;
    char file_name[kFileNameSize];
    char input_image[kFileNameSize];  // the image read in place of the input drive
};

// Only the playback staging words are in use.
struct ParamBlock {
    uint32_t staged_bytes;
    uint32_t flush_staged;
};
