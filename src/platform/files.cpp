#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

int folder_writable(const char* path) {
    std::string folder(path);
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash + 1);
    std::string probe = folder + ".tervano-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) return errno;
    close(fd);
    unlink(probe.c_str());
    return 0;
}

// The lock is taken before anything is cut; a device such as /dev/full has nothing to cut.
FILE* file_create_locked(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat info {};
    int error = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if (fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)) {
        error = errno;
    }
    FILE* file = error == 0 ? fdopen(fd, "w+b") : nullptr;
    if (!file) {
        if (error == 0) error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

const char* file_error_text(int error) {
    return error == EBUSY ? "in use by a drive (its cassette) or by another job" : strerror(error);
}

int file_cut(FILE* file, uint64_t length) {
    if (fflush(file) != 0) return errno;
    return ftruncate(fileno(file), static_cast<off_t>(length)) == 0 ? 0 : errno;
}

bool file_is_folder(FILE* file) {
    struct stat info {};
    return fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
}

int folder_names(const char* folder, std::vector<std::string>* names) {
    DIR* dir = opendir(folder);
    if (!dir) return errno;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    const int error = errno;
    closedir(dir);
    return error;
}
