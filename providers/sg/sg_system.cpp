#include "sg/sg_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int real_open(const char* path, int flags) {
    return open(path, flags);
}

int real_close(int fd) {
    return close(fd);
}

int real_sg_io(int fd, sg_io_hdr_t* io) {
    return ioctl(fd, SG_IO, io);
}

int real_list_directory(const char* path, std::vector<std::string>* names) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names->push_back(entry->d_name);
    }
    closedir(dir);
    return 0;
}

long real_read_file(const char* path, char* buffer, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    close(fd);
    errno = saved;
    return n;
}

int real_rw_group(const char* path, char* name, size_t size) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return -1;
    char scratch[4096];
    group entry;
    group* found = nullptr;
    if (getgrgid_r(st.st_gid, &entry, scratch, sizeof scratch, &found) != 0 || found == nullptr)
        return -1;
    if (strlen(found->gr_name) >= size) return -1;
    strcpy(name, found->gr_name);
    return 0;
}

const SgSystem kRealSystem = {real_open,           real_close,     real_sg_io,
                              real_list_directory, real_read_file, real_rw_group};

}  // namespace

const SgSystem* sg_real_system() {
    return &kRealSystem;
}
