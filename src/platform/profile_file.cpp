#include "platform/profile_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmed(const char* begin, const char* end) {
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_blank(end[-1])) --end;
    return std::string(begin, end);
}

std::string unquoted(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool same_name(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

void add_section(ProfileFile* profile, const std::string& name) {
    for (const std::string& known : profile->sections) {
        if (same_name(known, name.c_str())) return;
    }
    profile->sections.push_back(name);
}

// One line, without its line end. Updates the current section name.
void parse_line(const char* begin, const char* end, std::string* section, bool* in_section,
                ProfileFile* profile) {
    while (begin < end && is_blank(*begin)) ++begin;
    if (begin == end || *begin == ';') return;
    const char* close = static_cast<const char*>(memchr(begin, ']', end - begin));
    if (*begin == '[' && close) {
        *section = trimmed(begin + 1, close);
        *in_section = true;
        add_section(profile, *section);
        profile->headers.push_back(*section);
        return;
    }
    const char* equals = static_cast<const char*>(memchr(begin, '=', end - begin));
    std::string key = equals ? trimmed(begin, equals) : std::string();
    if (*begin == '[' || key.empty() || !*in_section) {
        profile->ignored.push_back(trimmed(begin, end));
        return;
    }
    profile->entries.push_back({*section, key, unquoted(trimmed(equals + 1, end))});
}

}  // namespace

void profile_parse(const char* text, size_t length, ProfileFile* profile) {
    *profile = ProfileFile{};
    const char* cursor = text;
    const char* end = text + length;
    if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) cursor += 3;
    std::string section;
    bool in_section = false;
    while (cursor < end) {
        const char* line_end = static_cast<const char*>(memchr(cursor, '\n', end - cursor));
        if (!line_end) line_end = end;
        parse_line(cursor, line_end, &section, &in_section, profile);
        cursor = line_end + 1;
    }
}

int profile_load(const char* path, ProfileFile* profile) {
    *profile = ProfileFile{};
    if (!path || !*path) return PROFILE_UNREADABLE;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return PROFILE_UNREADABLE;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return PROFILE_UNREADABLE;
    }
    if (static_cast<unsigned long long>(info.st_size) > kProfileMaxFileBytes) {
        close(fd);
        return PROFILE_TOO_LARGE;
    }
    std::string text(static_cast<size_t>(info.st_size), '\0');
    size_t have = 0;
    while (have < text.size()) {
        ssize_t got = read(fd, &text[have], text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    close(fd);
    // A file that shrank while being read is parsed as far as it was read.
    profile_parse(text.data(), have, profile);
    return PROFILE_OK;
}

const std::string* profile_find(const ProfileFile& profile, const char* section, const char* key) {
    if (!section || !key) return nullptr;
    for (const ProfileEntry& entry : profile.entries) {
        if (same_name(entry.section, section) && same_name(entry.key, key)) return &entry.value;
    }
    return nullptr;
}

size_t profile_read_string(const ProfileFile& profile, const char* section, const char* key,
                           const char* default_value, char* buffer, size_t size) {
    if (!buffer || size == 0) return 0;
    const std::string* value = profile_find(profile, section, key);
    const char* text = value ? value->c_str() : (default_value ? default_value : "");
    size_t length = strlen(text);
    if (length > size - 1) length = size - 1;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}

size_t profile_get_string(const char* section, const char* key, const char* default_value,
                          char* buffer, size_t size, const char* path) {
    ProfileFile profile;
    profile_load(path, &profile);
    return profile_read_string(profile, section, key, default_value, buffer, size);
}

int profile_parse_int(const char* text, long long minimum, long long maximum, long long* value) {
    std::string clean = trimmed(text, text + strlen(text));
    const char* digits = clean.c_str();
    bool negative = false;
    if (*digits == '+' || *digits == '-') negative = *digits++ == '-';
    int base = 10;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    // strtoull would accept its own sign and blanks here: only digits may follow.
    if (!isxdigit(static_cast<unsigned char>(*digits))) return -1;
    errno = 0;
    char* end = nullptr;
    unsigned long long magnitude = strtoull(digits, &end, base);
    if (errno != 0 || *end != '\0' || magnitude > static_cast<unsigned long long>(LLONG_MAX)) {
        return -1;
    }
    long long number =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (number < minimum || number > maximum) return -1;
    *value = number;
    return 0;
}

int profile_read_int(const ProfileFile& profile, const char* section, const char* key,
                     long long default_value, long long minimum, long long maximum,
                     long long* value) {
    const std::string* text = profile_find(profile, section, key);
    if (!text || text->empty()) {
        *value = default_value;
        return PROFILE_OK;
    }
    return profile_parse_int(text->c_str(), minimum, maximum, value) == 0 ? PROFILE_OK
                                                                          : PROFILE_BAD_NUMBER;
}
