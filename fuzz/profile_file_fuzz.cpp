// The profile reader on arbitrary text, looked up the way the recording job reads its
// cue file: the file list FILE_001 onwards into a 100-character buffer, and the CONFIG
// keys, whose silences are whole numbers.

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/profile_file.h"

namespace {

constexpr size_t kValueBufferSize = 100;
constexpr int kMaxFiles = 999;
const char* const kConfigKeys[] = {
    "STARTID",         "SCMS",      "ABS_TIME",           "PROGRAM_NUMBER",
    "32KHZ_LP",        "TIME_DATE", "INTERTRACK_SILENCE", "LEADIN_SILENCE",
    "LEADOUT_SILENCE",
};

void require(bool holds, const char* promise) {
    if (holds) return;
    fprintf(stderr, "profile reader: broken promise: %s\n", promise);
    abort();
}

// Reads one value as the cue reading does; false when the key is absent.
bool read_value(const ProfileFile& profile, const char* section, const char* key) {
    char buffer[kValueBufferSize];
    const size_t length = profile_read_string(profile, section, key, "JUNK", buffer, sizeof buffer);
    require(length < sizeof buffer && strlen(buffer) == length, "copy fits and is terminated");
    long long number = 0;
    profile_parse_int(buffer, INT_MIN, INT_MAX, &number);
    return profile_find(profile, section, key) != nullptr && strcmp(buffer, "NONE") != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A block of exactly the input's size: the parser must not look past its end.
    auto text = std::make_unique<char[]>(size);
    memcpy(text.get(), data, size);
    ProfileFile profile;
    profile_parse(text.get(), size, &profile);
    for (const ProfileEntry& entry : profile.entries) {
        require(!entry.key.empty(), "keys are not empty");
        require(profile_find(profile, entry.section.c_str(), entry.key.c_str()) != nullptr,
                "every entry can be found");
    }
    for (const char* key : kConfigKeys) read_value(profile, "CONFIG", key);
    for (int number = 1; number <= kMaxFiles; ++number) {
        char key[16];
        snprintf(key, sizeof key, "FILE_%.3d", number);
        if (!read_value(profile, "FILES", key)) break;
    }
    return 0;
}
