#pragma once
// Reader of Windows-style profile (INI) files, with the search rules of the platform's
// profile-string reader:
//
//   [section]            a section header; blanks inside the brackets are trimmed
//   key=value            blanks around key and value are trimmed; one pair of matching
//                        quotes ("..." or '...') around the value is removed
//   ; text               a comment line (only where ';' is the line's first non-blank)
//
// Section and key names match case-insensitively; the first matching key, in file
// order, wins. Lines before the first section, lines without '=' and blank lines are
// ignored. CRLF line ends and a UTF-8 byte-order mark are accepted. A ';' after a value
// belongs to the value: a file name may contain one.

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kProfileMaxFileBytes = 4u << 20;

enum ProfileStatus {
    PROFILE_OK = 0,
    PROFILE_UNREADABLE = -1,  // missing, a folder, or an I/O error
    PROFILE_TOO_LARGE = -2,   // more than kProfileMaxFileBytes
    PROFILE_BAD_NUMBER = -3,  // a value that is not a whole number in range
};

struct ProfileEntry {
    std::string section;
    std::string key;
    std::string value;
};

// A profile file read into memory, for callers that look up many keys.
struct ProfileFile {
    std::vector<std::string> sections;  // in file order, each name once
    std::vector<ProfileEntry> entries;  // in file order
    // For readers stricter than the rules above: every section header, repeats included,
    // and the lines the rules ignore (no '=', no closing ']', before the first section).
    std::vector<std::string> headers;
    std::vector<std::string> ignored;
};

// Reads and parses a file; PROFILE_OK, PROFILE_UNREADABLE or PROFILE_TOO_LARGE. On
// failure the profile is left empty.
int profile_load(const char* path, ProfileFile* profile);
// Parses profile text held in memory.
void profile_parse(const char* text, size_t length, ProfileFile* profile);

// The value of section/key, or nullptr when the section or the key is absent.
const std::string* profile_find(const ProfileFile& profile, const char* section, const char* key);

// Copies the value, or default_value when section or key is absent (nullptr counts as ""),
// into buffer and returns the number of characters copied. At most size - 1 characters
// are copied and the copy is always terminated; size 0 copies nothing and returns 0. A
// key present with an empty value gives 0 characters.
size_t profile_read_string(const ProfileFile& profile, const char* section, const char* key,
                           const char* default_value, char* buffer, size_t size);

// The same straight from a file; a missing or unreadable file gives the default.
size_t profile_get_string(const char* section, const char* key, const char* default_value,
                          char* buffer, size_t size, const char* path);

// A whole number, decimal or 0x-prefixed hexadecimal, with an optional sign. An absent
// key or an empty value gives default_value and PROFILE_OK; text that is not a whole
// number within [minimum, maximum] gives PROFILE_BAD_NUMBER and leaves *value alone.
int profile_read_int(const ProfileFile& profile, const char* section, const char* key,
                     long long default_value, long long minimum, long long maximum,
                     long long* value);

// Parses text as profile_read_int does (the whole text, blanks trimmed); 0 or -1.
int profile_parse_int(const char* text, long long minimum, long long maximum, long long* value);
