#include "cassette.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame/audio_frame.h"
#include "platform/profile_file.h"
#include "tape_position.h"

namespace {

constexpr size_t kStateFileMaxBytes = 4096;
constexpr const char* kStateSection = "state";

int full_pread(int fd, uint8_t* out, size_t length, uint64_t offset) {
    size_t have = 0;
    while (have < length) {
        ssize_t got = pread(fd, out + have, length - have, static_cast<off_t>(offset + have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        have += static_cast<size_t>(got);
    }
    return 0;
}

int full_pwrite(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t put = pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;
        done += static_cast<size_t>(put);
    }
    return 0;
}

std::string errno_text(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + strerror(errno);
}

void read_state_text(int fd, std::string* text) {
    char buffer[kStateFileMaxBytes];
    ssize_t got = pread(fd, buffer, sizeof buffer, 0);
    if (got > 0) text->assign(buffer, static_cast<size_t>(got));
}

// Values the file does not give, or gives unreadably, keep their fresh-cassette value.
void parse_state(const std::string& text, DriveMemory* memory) {
    ProfileFile profile;
    profile_parse(text.data(), text.size(), &profile);
    long long value = 0;
    if (profile_read_int(profile, kStateSection, "position", 0, 0, kMaxRunningPositions, &value) ==
        PROFILE_OK) {
        memory->position = static_cast<uint64_t>(value);
    }
    if (profile_read_int(profile, kStateSection, "density", kDensityData, 0, 255, &value) ==
        PROFILE_OK) {
        memory->density = static_cast<uint8_t>(value);
    }
    if (profile_read_int(profile, kStateSection, "loaded", 1, 0, 1, &value) == PROFILE_OK) {
        memory->loaded = value == 1;
    }
    if (profile_read_int(profile, kStateSection, "mrs_off", 0, 0, 1, &value) == PROFILE_OK) {
        memory->mrs_off = value == 1;
    }
}

bool same_memory(const DriveMemory& a, const DriveMemory& b) {
    return a.position == b.position && a.density == b.density && a.loaded == b.loaded &&
           a.mrs_off == b.mrs_off;
}

int open_cassette_file(const char* path, bool write_protect, Cassette* cassette) {
    if (!write_protect) {
        cassette->fd = open(path, O_RDWR | O_CLOEXEC);
        // A file the user may not write behaves as a cassette with its tab set.
        if (cassette->fd >= 0 || (errno != EACCES && errno != EROFS && errno != EPERM)) {
            return cassette->fd;
        }
    }
    cassette->read_only = true;
    cassette->fd = open(path, O_RDONLY | O_CLOEXEC);
    return cassette->fd;
}

}  // namespace

Cassette::~Cassette() {
    if (fd >= 0) close(fd);
    if (state_fd >= 0) close(state_fd);
}

int cassette_open(const char* path, bool write_protect, Cassette* cassette, DriveMemory* memory,
                  bool* state_found, std::string* error) {
    cassette->path = path;
    cassette->state_path = cassette->path + ".state";
    if (open_cassette_file(path, write_protect, cassette) < 0) {
        *error = errno_text("cannot open cassette", cassette->path);
        return -1;
    }
    struct stat info {};
    if (fstat(cassette->fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "cassette " + cassette->path + " is not a regular file";
        return -1;
    }
    cassette->file_bytes = static_cast<uint64_t>(info.st_size);
    cassette->frames = cassette->file_bytes / kFrameBytes;
    if (cassette->file_bytes % kFrameBytes != 0) {
        fprintf(stderr,
                "vdat: cassette %s ends in a partial frame of %llu bytes; it is not "
                "part of the tape\n",
                path, static_cast<unsigned long long>(cassette->file_bytes % kFrameBytes));
    }

    *memory = DriveMemory{};
    struct stat state_info {};
    *state_found = stat(cassette->state_path.c_str(), &state_info) == 0 && state_info.st_size > 0;
    cassette->state_fd = open(cassette->state_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (cassette->state_fd < 0) {
        fprintf(stderr, "vdat: %s; the drive state is not kept\n",
                errno_text("cannot open state file", cassette->state_path).c_str());
        int reader = open(cassette->state_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (reader >= 0) {
            std::string text;
            read_state_text(reader, &text);
            parse_state(text, memory);
            close(reader);
        }
    } else if (*state_found) {
        std::string text;
        read_state_text(cassette->state_fd, &text);
        parse_state(text, memory);
    }
    cassette->saved = *memory;
    return 0;
}

int cassette_read_frame(Cassette* cassette, uint64_t n, uint8_t* frame, size_t length) {
    if (n >= cassette->frames || length > static_cast<size_t>(kFrameBytes)) return -1;
    return full_pread(cassette->fd, frame, length, n * kFrameBytes);
}

int cassette_read_subcodes(Cassette* cassette, uint64_t n, uint64_t count, uint8_t* out) {
    for (uint64_t i = 0; i < count; ++i) {
        if (n + i >= cassette->frames) return -1;
        uint64_t offset = (n + i) * kFrameBytes + kSubcodeOffset;
        if (full_pread(cassette->fd, out + i * kSubcodeBytes, kSubcodeBytes, offset) != 0) {
            return -1;
        }
    }
    return 0;
}

int cassette_write_frame(Cassette* cassette, uint64_t n, const uint8_t* frame) {
    if (cassette->read_only || n > cassette->frames) {
        errno = EBADF;
        return -1;
    }
    uint64_t end = (n + 1) * kFrameBytes;
    if (full_pwrite(cassette->fd, frame, kFrameBytes, n * kFrameBytes) != 0) return -1;
    if (cassette->file_bytes > end && ftruncate(cassette->fd, static_cast<off_t>(end)) != 0) {
        return -1;
    }
    cassette->file_bytes = end;
    cassette->frames = n + 1;
    return 0;
}

void cassette_save_state(Cassette* cassette, const DriveMemory& memory) {
    if (cassette->state_fd < 0) return;
    if (cassette->state_record_written && same_memory(memory, cassette->saved)) return;
    char record[128];
    int length = snprintf(record, sizeof record,
                          "[state]\nposition=%010llu\ndensity=0x%02x\nloaded=%d\nmrs_off=%d\n",
                          static_cast<unsigned long long>(memory.position), memory.density,
                          memory.loaded ? 1 : 0, memory.mrs_off ? 1 : 0);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof record) return;
    if (full_pwrite(cassette->state_fd, reinterpret_cast<const uint8_t*>(record),
                    static_cast<size_t>(length), 0) != 0) {
        return;
    }
    // The first record may replace a longer hand-written file: cut what follows it.
    if (!cassette->state_record_written) {
        if (ftruncate(cassette->state_fd, length) != 0) return;
        cassette->state_record_written = true;
    }
    cassette->saved = memory;
}

bool same_file(const char* a, const char* b) {
    struct stat first {};
    struct stat second {};
    if (stat(a, &first) != 0 || stat(b, &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
