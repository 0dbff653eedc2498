#include "driver/command_line.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

// Keywords, seek kinds and drive addresses are matched without regard to case, but the
// arguments are never changed: file names on this platform are case-sensitive, so the
// file-name argument is kept exactly as typed.

namespace {

enum ParseResult { PARSE_OK = 0, PARSE_BAD = 1, PARSE_NO_FILE_NAME = 2 };

struct Keyword {
    const char* text;  // upper case
    int32_t JobState::*field;
    const char* echo;      // mode keywords print their name when they are seen
    bool takes_file_name;  // the argument after it is the job's file name
};

constexpr Keyword kKeywords[] = {
    {"/INPUTID", &JobState::input_id_given, nullptr, false},
    {"/OUTPUTID", &JobState::output_id_given, nullptr, false},
    {"/WAVEOUT", &JobState::wave_out, nullptr, false},
    {"/REWIND", &JobState::rewind, nullptr, false},
    {"/SEEK", &JobState::seek, nullptr, false},
    {"/STARTID", &JobState::split_on_start_id, nullptr, false},
    {"/MRSOFF", &JobState::mrs_off, nullptr, false},
    {"/TERVANO", &JobState::mode_tape_to_wav, "TERVANO\n", true},
    {"/WAV2DAT", &JobState::mode_wav_to_tape, "WAV2DAT\n", true},
    {"/DAT2IMG", &JobState::mode_tape_to_image, "DAT2IMG\n", true},
    {"/IMG2DAT", &JobState::mode_image_to_tape, "IMG2DAT\n", true},
    {"/DAT2DAT", &JobState::mode_tape_to_tape, "DAT2DAT\n", false},
    {"/STOPEOT", &JobState::stop_at_eot, nullptr, false},
    {"/ERRORCORRECT", &JobState::error_correct, nullptr, false},
    {"/BWF", &JobState::bwf, "BWF\n", false},
    {"/INPUTIMG", &JobState::input_image_given, nullptr, false},
};

// Index in this table is the seek_kind value.
constexpr const char* kSeekKinds[] = {"PROGNUM", "ABSTIME", "RUNTIME", "PROGTIME"};
constexpr int kSeekProgramNumber = 0;

constexpr int kMaxProgramNumber = 799;  // three BCD digits, 001-799
constexpr int kMaxHours = 99;           // each time field is two BCD digits on tape
constexpr int kMaxMinutes = 59;
constexpr int kMaxSeconds = 59;
constexpr int kMaxFrames = 33;  // 33 or 34 frames per second, numbered from 0
constexpr int kMaxAddressPart = 7;

// Larger numbers are rejected rather than wrapped into a plausible value.
constexpr int64_t kMaxNumber = 999999999;

struct DriveRole {
    const char* adapter_range;
    const char* target_range;
    const char* malformed;
    const char* accepted;
};

constexpr DriveRole kInputRole = {
    "input SCSI Adapter number: %d, out of range 0-7\n",
    "input SCSI ID number: %d, out of range 0-7\n",
    "input SCSI address \"%s\" is not adapter:ID (for example 0:4)\n",
    "Input SCSI adapter %d, ID number: %d\n",
};

constexpr DriveRole kOutputRole = {
    "output SCSI Adapter number: %d, out of range 0-7\n",
    "output SCSI ID number: %d, out of range 0-7\n",
    "output SCSI address \"%s\" is not adapter:ID (for example 0:4)\n",
    "Output SCSI adapter %d, ID number: %d\n",
};

char upper_ascii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whole-string comparison; `word` is upper case.
bool matches_word(const char* argument, const char* word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (upper_ascii(argument[i]) != word[i]) return false;
    }
    return argument[i] == '\0';
}

// Reads an optionally negative decimal number at *cursor and moves past it. Negative
// numbers are read so that range messages can show them.
bool read_number(const char** cursor, int* value) {
    const char* p = *cursor;
    bool negative = (*p == '-');
    if (negative) ++p;
    if (*p < '0' || *p > '9') return false;
    int64_t number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > kMaxNumber) return false;
    }
    *value = static_cast<int>(negative ? -number : number);
    *cursor = p;
    return true;
}

bool expect_char(const char** cursor, char c) {
    if (**cursor != c) return false;
    ++*cursor;
    return true;
}

// Exactly `count` numbers joined by colons, nothing before or after.
bool parse_colon_numbers(const char* text, int* numbers, int count) {
    const char* cursor = text;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !expect_char(&cursor, ':')) return false;
        if (!read_number(&cursor, &numbers[i])) return false;
    }
    return *cursor == '\0';
}

bool in_range(int value, int low, int high) {
    return value >= low && value <= high;
}

// Hours in bits 24-31, minutes 16-23, seconds 8-15, frames 0-7, each a plain number.
uint32_t pack_time_code(int hours, int minutes, int seconds, int frames) {
    return (static_cast<uint32_t>(hours) << 24) | (static_cast<uint32_t>(minutes) << 16) |
           (static_cast<uint32_t>(seconds) << 8) | static_cast<uint32_t>(frames);
}

// Records every keyword's last position and echoes the mode keywords; returns the
// position of the last file-taking mode keyword, 0 when there is none.
int scan_keywords(int argc, char** argv, JobState* job) {
    int file_name_position = 0;
    for (const Keyword& keyword : kKeywords) job->*keyword.field = 0;
    for (int position = 1; position < argc; ++position) {
        for (const Keyword& keyword : kKeywords) {
            if (!matches_word(argv[position], keyword.text)) continue;
            job->*keyword.field = position;
            if (keyword.echo) printf("%s", keyword.echo);
            if (keyword.takes_file_name) file_name_position = position;
        }
    }
    return file_name_position;
}

// A forgotten file name would take the next keyword in its place ("/TERVANO /INPUTID 0:4"
// writes "/INPUTID1.wav" at the root of the file system).
bool is_keyword(const char* argument) {
    for (const Keyword& keyword : kKeywords) {
        if (matches_word(argument, keyword.text)) return true;
    }
    return false;
}

// The name after a keyword, copied into a buffer of kFileNameSize; a keyword in its place
// means the name was forgotten. Each name has its own lines and failure result.
struct NameArgument {
    const char* missing;   // the line when no name follows
    const char* too_long;  // the line, with the longest length, for a name too long
    int failure;
};

int take_name(int argc, char** argv, int position, const NameArgument& kind, char* into) {
    if (position >= argc - 1 || is_keyword(argv[position + 1])) {
        printf("%s", kind.missing);
        return kind.failure;
    }
    const char* name = argv[position + 1];
    size_t length = strnlen(name, kFileNameSize);
    if (length >= static_cast<size_t>(kFileNameSize)) {
        printf(kind.too_long, kFileNameSize - 1);
        return kind.failure;
    }
    memcpy(into, name, length);
    into[length] = '\0';
    return PARSE_OK;
}

int take_file_name(int argc, char** argv, int position, JobState* job) {
    const NameArgument file{"No filename entered\n", "Filename longer than %d characters\n",
                            PARSE_NO_FILE_NAME};
    return take_name(argc, argv, position, file, job->file_name);
}

int take_input_image(int argc, char** argv, int position, JobState* job) {
    const NameArgument image{"No image file entered\n",
                             "Image file name longer than %d characters\n", PARSE_BAD};
    int result = take_name(argc, argv, position, image, job->input_image);
    if (result == PARSE_OK) printf("Input image: %s\n", job->input_image);
    return result;
}

int take_address(int argc, char** argv, int position, const DriveRole& role, ScsiAddress* address) {
    if (position >= argc - 1) {
        printf("No ID entered\n");
        return PARSE_BAD;
    }
    const char* text = argv[position + 1];
    int parts[2] = {0, 0};
    if (!parse_colon_numbers(text, parts, 2)) {
        printf(role.malformed, text);
        return PARSE_BAD;
    }
    if (!in_range(parts[0], 0, kMaxAddressPart)) {
        printf(role.adapter_range, parts[0]);
        return PARSE_BAD;
    }
    if (!in_range(parts[1], 0, kMaxAddressPart)) {
        printf(role.target_range, parts[1]);
        return PARSE_BAD;
    }
    address->adapter = parts[0];
    address->target = parts[1];
    address->lun = 0;
    printf(role.accepted, parts[0], parts[1]);
    return PARSE_OK;
}

int take_program_number(const char* text, JobState* job) {
    int number = 0;
    if (!parse_colon_numbers(text, &number, 1)) {
        printf("Seek program number \"%s\" is not a number\n", text);
        return PARSE_BAD;
    }
    if (!in_range(number, 1, kMaxProgramNumber)) {
        printf("Seek program number %d out of range 1-%d\n", number, kMaxProgramNumber);
        return PARSE_BAD;
    }
    job->seek_target = static_cast<uint32_t>(number);
    return PARSE_OK;
}

int take_time_code(const char* text, JobState* job) {
    int t[4] = {0, 0, 0, 0};
    if (!parse_colon_numbers(text, t, 4)) {
        printf("Seek time \"%s\" is not hours:minutes:seconds:frames (for example 0:12:30:0)\n",
               text);
        return PARSE_BAD;
    }
    // Each field gets 8 bits and becomes two BCD digits on the drive: a larger value
    // would spill into its neighbour or name a time the tape never shows.
    if (!in_range(t[0], 0, kMaxHours) || !in_range(t[1], 0, kMaxMinutes) ||
        !in_range(t[2], 0, kMaxSeconds) || !in_range(t[3], 0, kMaxFrames)) {
        printf(
            "Seek time \"%s\" out of range (hours 0-99, minutes 0-59, seconds 0-59, "
            "frames 0-33)\n",
            text);
        return PARSE_BAD;
    }
    job->seek_target = pack_time_code(t[0], t[1], t[2], t[3]);
    return PARSE_OK;
}

int take_seek(int argc, char** argv, int position, JobState* job) {
    if (position >= argc - 2) {
        printf("No seek info entered\n");
        return PARSE_BAD;
    }
    const char* kind_text = argv[position + 1];
    int kind = -1;
    for (int k = 0; k < static_cast<int>(std::size(kSeekKinds)); ++k) {
        if (matches_word(kind_text, kSeekKinds[k])) {
            kind = k;
            break;
        }
    }
    if (kind < 0) {
        printf("Unknown seek type\n");
        return PARSE_BAD;
    }
    job->seek_kind = kind;
    const char* value_text = argv[position + 2];
    if (kind == kSeekProgramNumber) return take_program_number(value_text, job);
    return take_time_code(value_text, job);
}

int check_mode_requirements(const JobState* job) {
    bool reads_tape = job->mode_tape_to_wav || job->mode_tape_to_image || job->mode_tape_to_tape;
    bool writes_tape = job->mode_wav_to_tape || job->mode_image_to_tape || job->mode_tape_to_tape;
    bool any_mode = reads_tape || writes_tape;
    const bool has_input = job->input_id_given || job->input_image_given;
    if (job->input_id_given && job->input_image_given) {
        printf("/INPUTID and /INPUTIMG both name the input: give one of them\n");
        return PARSE_BAD;
    }
    if (job->input_image_given && !reads_tape) {
        printf("/INPUTIMG is the input of /TERVANO, /DAT2IMG and /DAT2DAT only\n");
        return PARSE_BAD;
    }
    if (reads_tape && !has_input) {
        printf("No input ID entered\n");
        return PARSE_BAD;
    }
    if (writes_tape && !job->output_id_given) {
        printf("No output ID entered\n");
        return PARSE_BAD;
    }
    if (job->mode_tape_to_tape && job->input_id_given &&
        job->input.adapter == job->output.adapter && job->input.target == job->output.target) {
        printf("Input and Output IDs must be different \n");
        return PARSE_BAD;
    }
    if (!any_mode) {
        printf("No mode entered (eg: /tervano, /wav2dat etc.)\n");
        return PARSE_BAD;
    }
    // The seek positions the input; without one it would drive address 0:0.
    if (job->seek && !has_input) {
        printf("No input ID entered for /SEEK\n");
        return PARSE_BAD;
    }
    return PARSE_OK;
}

}  // namespace

int parse_command_line(int argc, char** argv, JobState* job) {
    if (!argv || !job || argc < 1) return PARSE_BAD;
    int file_name_position = scan_keywords(argc, argv, job);
    int result = PARSE_OK;
    if (file_name_position) {
        result = take_file_name(argc, argv, file_name_position, job);
        if (result != PARSE_OK) return result;
    }
    if (job->input_id_given) {
        result = take_address(argc, argv, job->input_id_given, kInputRole, &job->input);
        if (result != PARSE_OK) return result;
    }
    if (job->input_image_given) {
        result = take_input_image(argc, argv, job->input_image_given, job);
        if (result != PARSE_OK) return result;
    }
    if (job->output_id_given) {
        result = take_address(argc, argv, job->output_id_given, kOutputRole, &job->output);
        if (result != PARSE_OK) return result;
    }
    if (job->seek) {
        result = take_seek(argc, argv, job->seek, job);
        if (result != PARSE_OK) return result;
    }
    return check_mode_requirements(job);
}
