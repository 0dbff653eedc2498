#pragma once
// A folder of the fuzzer's own for the files a target hands its reader, removed with what
// it holds when the fuzzer exits: the readers take file names, never buffers.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace scratch {

inline std::string& folder() {
    static std::string path;
    return path;
}

inline void remove_all() {
    DIR* dir = opendir(folder().c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((folder() + "/" + name).c_str());
    }
    closedir(dir);
    rmdir(folder().c_str());
}

// Makes the folder; call once, from LLVMFuzzerInitialize.
inline void make(const char* what) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/tervano-fuzz-" + what + "-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    folder() = pattern;
    atexit(remove_all);
}

inline std::string path(const std::string& name) {
    return folder() + "/" + name;
}

// Replaces the file with these bytes, written at offset (a hole before them reads as
// zeros). A failure here is the machine's, not the reader's: the run stops.
inline void write(const std::string& file, const uint8_t* data, size_t size, off_t offset = 0) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || pwrite(fd, data, size, offset) != static_cast<ssize_t>(size) ||
        ftruncate(fd, offset + static_cast<off_t>(size)) != 0 || close(fd) != 0) {
        perror(file.c_str());
        abort();
    }
}

}  // namespace scratch
