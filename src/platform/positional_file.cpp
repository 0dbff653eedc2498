#include "platform/positional_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

void identity_of(const struct stat& info, FileIdentity* identity) {
    identity->device = static_cast<uint64_t>(info.st_dev);
    identity->inode = static_cast<uint64_t>(info.st_ino);
    identity->bytes = static_cast<uint64_t>(info.st_size);
    identity->links = static_cast<uint64_t>(info.st_nlink);
    identity->regular = S_ISREG(info.st_mode);
}

}  // namespace

int platform_file_open(const char* path, int access, PlatformFile* file) {
    int flags = (access == FILE_READ_WRITE ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    file->fd = open(path, flags);
    return file->fd >= 0 ? 0 : -1;
}

void platform_file_close(PlatformFile* file) {
    if (file->fd >= 0) close(file->fd);
    file->fd = -1;
}

int platform_file_read_at(PlatformFile file, uint64_t offset, void* out, size_t length) {
    auto* bytes = static_cast<uint8_t*>(out);
    size_t have = 0;
    while (have < length) {
        ssize_t got =
            pread(file.fd, bytes + have, length - have, static_cast<off_t>(offset + have));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = ENODATA;
        if (got <= 0) return -1;
        have += static_cast<size_t>(got);
    }
    return 0;
}

int platform_file_write_at(PlatformFile file, uint64_t offset, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t put =
            pwrite(file.fd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = ENOSPC;
        if (put <= 0) return -1;
        done += static_cast<size_t>(put);
    }
    return 0;
}

int platform_file_truncate(PlatformFile file, uint64_t length) {
    return ftruncate(file.fd, static_cast<off_t>(length)) == 0 ? 0 : -1;
}

int platform_file_identify(PlatformFile file, FileIdentity* identity) {
    struct stat info {};
    if (fstat(file.fd, &info) != 0) return -1;
    identity_of(info, identity);
    return 0;
}

int platform_path_identify(const char* path, FileIdentity* identity) {
    struct stat info {};
    if (stat(path, &info) != 0) return -1;
    identity_of(info, identity);
    return 0;
}

const char* platform_file_error() {
    return strerror(errno);
}
