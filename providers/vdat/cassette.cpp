#include "cassette.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "frame/audio_frame.h"
#include "platform/profile_file.h"

namespace {

constexpr size_t kStateFileMaxBytes = 4096;
constexpr std::string_view kStateTemplate =
    "[state]\nposition=0000000000\ndensity=0x00\nloaded=0\nmrs_off=0\n";
constexpr size_t kStateRecordBytes = kStateTemplate.size();
constexpr size_t kPositionDigits = 10;  // positions stay below kMaxRunningPositions
constexpr size_t kPositionDigitsAt = kStateTemplate.find("position=") + 9;
constexpr size_t kDensityAt = kStateTemplate.find("density=0x") + 10;
constexpr size_t kLoadedAt = kStateTemplate.find("loaded=") + 7;
constexpr size_t kMrsOffAt = kStateTemplate.find("mrs_off=") + 8;
constexpr const char* kStateSection = "state";

std::string failure(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + platform_file_error();
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

// Built by hand, like the trace: the state changes with every frame.
void format_state(const DriveMemory& memory, char record[kStateRecordBytes]) {
    memcpy(record, kStateTemplate.data(), kStateRecordBytes);
    uint64_t position = memory.position;
    for (size_t i = kPositionDigitsAt + kPositionDigits; i > kPositionDigitsAt; position /= 10) {
        record[--i] = static_cast<char>('0' + position % 10);
    }
    record[kDensityAt] = "0123456789abcdef"[memory.density >> 4];
    record[kDensityAt + 1] = "0123456789abcdef"[memory.density & 0x0F];
    record[kLoadedAt] = memory.loaded ? '1' : '0';
    record[kMrsOffAt] = memory.mrs_off ? '1' : '0';
}

void drop_state_map(Cassette* cassette) {
    if (cassette->state_map) munmap(cassette->state_map, kStateRecordBytes);
    cassette->state_map = nullptr;
}

// The record goes into the mapped file in one copy, so that a process killed at any moment
// leaves a whole one; where the file could not be mapped, or someone cut it short (its
// mapping would then fault), it is written.
void put_state(Cassette* cassette, const DriveMemory& memory) {
    char record[kStateRecordBytes];
    format_state(memory, record);
    struct stat info {};
    if (cassette->state_map && (fstat(cassette->state_fd, &info) != 0 ||
                                static_cast<size_t>(info.st_size) < kStateRecordBytes)) {
        drop_state_map(cassette);
    }
    if (cassette->state_map) {
        memcpy(cassette->state_map, record, kStateRecordBytes);
    } else if (cassette->state_fd >= 0) {
        ssize_t written = pwrite(cassette->state_fd, record, kStateRecordBytes, 0);
        (void)written;  // a state that is not kept costs the next run its place, not this one
    }
}

std::string read_state_text(int fd) {
    char buffer[kStateFileMaxBytes];
    ssize_t got = pread(fd, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

// Reads what the state file holds, then makes it one record mapped into memory.
void open_state(Cassette* cassette, DriveMemory* memory, bool* state_found) {
    const char* path = cassette->state_path.c_str();
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    int reader = fd >= 0 ? fd : open(path, O_RDONLY | O_CLOEXEC);
    std::string text = reader >= 0 ? read_state_text(reader) : std::string();
    if (reader >= 0 && reader != fd) close(reader);
    *state_found = !text.empty();
    parse_state(text, memory);
    cassette->saved = *memory;
    if (fd < 0) {
        fprintf(stderr, "vdat: %s; the drive state is not kept\n",
                failure("cannot open state file", cassette->state_path).c_str());
        return;
    }
    cassette->state_fd = fd;
    // A longer hand-written file is cut to the record. Its blocks are taken now: writing
    // a mapped page that a full disk cannot hold would kill the process.
    if (ftruncate(fd, kStateRecordBytes) == 0 && posix_fallocate(fd, 0, kStateRecordBytes) == 0) {
        void* map = mmap(nullptr, kStateRecordBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) cassette->state_map = static_cast<char*>(map);
    }
    put_state(cassette, *memory);
}

}  // namespace

Cassette::~Cassette() {
    platform_file_close(&tape.file);
    drop_state_map(this);
    if (state_fd >= 0) close(state_fd);
}

int cassette_open(const char* path, bool write_protect, Cassette* cassette, DriveMemory* memory,
                  bool* state_found, std::string* error) {
    cassette->path = path;
    cassette->state_path = cassette->path + ".state";
    PlatformFile* file = &cassette->tape.file;
    // A file the user may not write behaves as a cassette with its tab set.
    bool writable = !write_protect && platform_file_open(path, FILE_READ_WRITE, file) == 0;
    cassette->read_only = !writable;
    if (!writable && platform_file_open(path, FILE_READ_ONLY, file) != 0) {
        *error = failure("cannot open cassette", cassette->path);
        return -1;
    }
    if (frame_file_measure(&cassette->tape) != 0) {
        *error = "cassette " + cassette->path + " is not a regular file";
        return -1;
    }
    // A shared lock, as a cassette in a drive is taken: a job that would write its output
    // over this file finds it in use, instead of cutting the tape under the drive.
    flock(file->fd, LOCK_SH | LOCK_NB);
    cassette->file_bytes = cassette->tape.frames * kFrameBytes + cassette->tape.partial_bytes;
    if (cassette->tape.partial_bytes != 0) {
        fprintf(stderr,
                "vdat: cassette %s ends in a partial frame of %llu bytes; it is not "
                "part of the tape\n",
                path, static_cast<unsigned long long>(cassette->tape.partial_bytes));
    }
    *memory = DriveMemory{};
    open_state(cassette, memory, state_found);
    return 0;
}

int cassette_write_frame(Cassette* cassette, uint64_t n, const uint8_t* frame) {
    if (cassette->read_only || n > cassette->tape.frames) return -1;
    uint64_t end = (n + 1) * kFrameBytes;
    PlatformFile file = cassette->tape.file;
    if (platform_file_write_at(file, n * kFrameBytes, frame, kFrameBytes) != 0) return -1;
    if (cassette->file_bytes > end && platform_file_truncate(file, end) != 0) return -1;
    cassette->file_bytes = end;
    cassette->tape.frames = n + 1;
    cassette->tape.partial_bytes = 0;
    return 0;
}

void cassette_save_state(Cassette* cassette, const DriveMemory& memory) {
    if (same_memory(memory, cassette->saved)) return;
    put_state(cassette, memory);
    cassette->saved = memory;
}

// One fstat a command: a file removed, or replaced by renaming another over its name, has
// no name left.
const char* cassette_vanished(const Cassette* cassette) {
    FileIdentity now{};
    if (platform_file_identify(cassette->tape.file, &now) != 0) return "cannot be read";
    if (now.links == 0) {
        FileIdentity named{};
        bool named_exists = platform_path_identify(cassette->path.c_str(), &named) == 0;
        return named_exists ? "was replaced by another file" : "was removed";
    }
    if (now.bytes < cassette->file_bytes) return "was cut short";
    return nullptr;
}

void cassette_pull_out(Cassette* cassette) {
    platform_file_close(&cassette->tape.file);
    cassette->tape.frames = 0;
    drop_state_map(cassette);
    if (cassette->state_fd >= 0) close(cassette->state_fd);
    cassette->state_fd = -1;
    unlink(cassette->state_path.c_str());
}

bool same_file(const char* a, const char* b) {
    FileIdentity first{};
    FileIdentity second{};
    if (platform_path_identify(a, &first) != 0 || platform_path_identify(b, &second) != 0) {
        return false;
    }
    return first.device == second.device && first.inode == second.inode;
}
