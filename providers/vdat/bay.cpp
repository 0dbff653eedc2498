#include "bay.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "cassette.h"
#include "frame/frame_search.h"
#include "platform/profile_file.h"

namespace {

const char* const kKeys[] = {"vendor",       "product",       "revision",       "device_type",
                             "cassette",     "write_protect", "capacity",       "read_errors",
                             "write_errors", "locate_fps",    "ready_delay_ms", "latency_ms",
                             "hang_at",      "refuse",        "mrs_stuck"};

constexpr long long kMaxDelayMs = 3600 * 1000;
constexpr long long kMaxFps = 100000000;
constexpr long long kMaxRequests = 1000000000000LL;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The value without a trailing "; comment", blanks and one pair of quotes.
std::string clean_value(const std::string& raw) {
    size_t end = raw.size();
    for (size_t i = 1; i < raw.size(); ++i) {
        if (raw[i] == ';' && is_blank(raw[i - 1])) {
            end = i;
            break;
        }
    }
    while (end > 0 && is_blank(raw[end - 1])) --end;
    std::string value = raw.substr(0, end);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

// "a:t" with decimal numbers in range.
bool parse_address(const std::string& name, int* adapter, int* target) {
    size_t colon = name.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == name.size()) return false;
    std::string left = name.substr(0, colon);
    std::string right = name.substr(colon + 1);
    for (const std::string* part : {&left, &right}) {
        if (part->size() > 3 || part->find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
    }
    *adapter = atoi(left.c_str());
    *target = atoi(right.c_str());
    return *adapter <= kMaxAdapter && *target <= kMaxTarget;
}

bool known_key(const std::string& key) {
    for (const char* known : kKeys) {
        if (strcasecmp(known, key.c_str()) == 0) return true;
    }
    return false;
}

std::string folder_of(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, slash);
}

struct SectionReader {
    const ProfileFile* profile;
    const std::string* section;
    std::string error;

    std::string text(const char* key) {
        const std::string* raw = profile_find(*profile, section->c_str(), key);
        return raw ? clean_value(*raw) : std::string();
    }

    // Absent or empty keeps the default.
    template <typename T>
    void number(const char* key, long long minimum, long long maximum, T* out) {
        std::string value = text(key);
        if (value.empty() || !error.empty()) return;
        long long parsed = 0;
        if (profile_parse_int(value.c_str(), minimum, maximum, &parsed) != 0) {
            error = "[" + *section + "] " + key + "=" + value + ": not a whole number from " +
                    std::to_string(minimum) + " to " + std::to_string(maximum);
            return;
        }
        *out = static_cast<T>(parsed);
    }

    void ranges(const char* key, std::vector<FrameRange>* out) {
        std::string value = text(key);
        if (!error.empty() || parse_frame_ranges(value.c_str(), out) == 0) return;
        error = "[" + *section + "] " + key + "=" + value +
                ": not a list of positions and ranges such as 100,205-210";
    }

    void field(const char* key, char* out, size_t size) {
        std::string value = text(key);
        if (profile_find(*profile, section->c_str(), key)) snprintf(out, size, "%s", value.c_str());
    }
};

int read_drive(const ProfileFile& profile, const std::string& section, const char* bay_path,
               DriveConfig* drive, std::string* error) {
    if (!parse_address(section, &drive->adapter, &drive->target)) {
        *error = "[" + section + "]: a section names a drive as adapter:target, 0-" +
                 std::to_string(kMaxAdapter) + " and 0-" + std::to_string(kMaxTarget);
        return -1;
    }
    for (const ProfileEntry& entry : profile.entries) {
        if (strcasecmp(entry.section.c_str(), section.c_str()) == 0 && !known_key(entry.key)) {
            *error = "[" + section + "] " + entry.key + ": no such key";
            return -1;
        }
    }
    SectionReader reader{&profile, &section, {}};
    reader.field("vendor", drive->vendor, sizeof drive->vendor);
    reader.field("product", drive->product, sizeof drive->product);
    reader.field("revision", drive->revision, sizeof drive->revision);
    reader.number("device_type", 0, 31, &drive->device_type);
    reader.number("write_protect", 0, 1, &drive->write_protect);
    reader.number("capacity", 1, static_cast<long long>(kMaxRunningPositions), &drive->capacity);
    reader.number("locate_fps", 1, kMaxFps, &drive->locate_fps);
    reader.number("ready_delay_ms", 0, kMaxDelayMs, &drive->ready_delay_ms);
    reader.number("latency_ms", 0, kMaxDelayMs, &drive->latency_ms);
    reader.number("hang_at", 0, kMaxRequests, &drive->hang_at);
    reader.number("mrs_stuck", 0, 1, &drive->mrs_stuck);
    reader.ranges("read_errors", &drive->read_errors);
    reader.ranges("write_errors", &drive->write_errors);
    reader.ranges("refuse", &drive->refuse);
    if (!reader.error.empty()) {
        *error = reader.error;
        return -1;
    }
    std::string cassette = reader.text("cassette");
    if (!cassette.empty()) {
        drive->cassette = cassette[0] == '/' ? cassette : folder_of(bay_path) + "/" + cassette;
    }
    return 0;
}

std::string lower_case(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// The profile reader merges repeated sections, takes the first of repeated keys and skips
// lines it cannot read; a bay that relies on any of that is more likely a mistake.
int check_strict(const ProfileFile& profile, std::string* error) {
    if (!profile.ignored.empty()) {
        *error = "\"" + profile.ignored[0].substr(0, 60) +
                 "\" is neither a [adapter:target] section, a key=value in one, nor a comment";
        return -1;
    }
    if (profile.headers.empty()) {
        *error = "the bay file names no drive";
        return -1;
    }
    std::set<std::string> seen;
    for (const std::string& header : profile.headers) {
        if (!seen.insert(lower_case(header)).second) {
            *error = "[" + header + "] is given twice";
            return -1;
        }
    }
    for (const ProfileEntry& entry : profile.entries) {
        if (!seen.insert(lower_case(entry.section + "]" + entry.key)).second) {
            *error = "[" + entry.section + "] " + entry.key + " is given twice";
            return -1;
        }
    }
    return 0;
}

int check_distinct(const std::vector<DriveConfig>& drives, std::string* error) {
    for (size_t i = 0; i < drives.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            const DriveConfig& a = drives[i];
            const DriveConfig& b = drives[j];
            if (a.adapter == b.adapter && a.target == b.target) {
                *error = "two sections name drive " + std::to_string(a.adapter) + ":" +
                         std::to_string(a.target);
                return -1;
            }
            if (!a.cassette.empty() && !b.cassette.empty() &&
                (a.cassette == b.cassette || same_file(a.cassette.c_str(), b.cassette.c_str()))) {
                *error = "cassette " + a.cassette + " is in two drives";
                return -1;
            }
        }
    }
    return 0;
}

bool parse_position(const std::string& text, uint64_t* value) {
    long long parsed = 0;
    if (text.empty() || text.find_first_not_of(" \t0123456789") != std::string::npos) return false;
    if (profile_parse_int(text.c_str(), 0, static_cast<long long>(kMaxRunningPositions), &parsed) !=
        0) {
        return false;
    }
    *value = static_cast<uint64_t>(parsed);
    return true;
}

}  // namespace

int parse_frame_ranges(const char* text, std::vector<FrameRange>* ranges) {
    ranges->clear();
    std::string list = text;
    if (list.find_first_not_of(" \t") == std::string::npos) return 0;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        size_t length = comma == std::string::npos ? std::string::npos : comma - start;
        std::string item = list.substr(start, length);
        size_t dash = item.find('-');
        FrameRange range{};
        if (!parse_position(item.substr(0, dash), &range.first)) return -1;
        range.last = range.first;
        if (dash != std::string::npos && !parse_position(item.substr(dash + 1), &range.last)) {
            return -1;
        }
        if (range.last < range.first) return -1;
        ranges->push_back(range);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::sort(ranges->begin(), ranges->end(),
              [](const FrameRange& a, const FrameRange& b) { return a.first < b.first; });
    std::vector<FrameRange> merged;
    for (const FrameRange& range : *ranges) {
        if (!merged.empty() && range.first <= merged.back().last + 1) {
            merged.back().last = std::max(merged.back().last, range.last);
        } else {
            merged.push_back(range);
        }
    }
    *ranges = merged;
    return 0;
}

bool in_ranges(const std::vector<FrameRange>& ranges, uint64_t position) {
    auto after = std::upper_bound(
        ranges.begin(), ranges.end(), position,
        [](uint64_t value, const FrameRange& range) { return value < range.first; });
    return after != ranges.begin() && position <= (after - 1)->last;
}

int bay_read(const char* path, std::vector<DriveConfig>* drives, std::string* error) {
    drives->clear();
    ProfileFile profile;
    int status = profile_load(path, &profile);
    if (status == PROFILE_TOO_LARGE) {
        *error = "the bay file is larger than " + std::to_string(kProfileMaxFileBytes) + " bytes";
        return -1;
    }
    if (status != PROFILE_OK) {
        *error = "cannot read the bay file";
        return -1;
    }
    if (check_strict(profile, error) != 0) return -1;
    for (const std::string& section : profile.sections) {
        DriveConfig drive;
        if (read_drive(profile, section, path, &drive, error) != 0) return -1;
        drives->push_back(drive);
    }
    return check_distinct(*drives, error);
}
