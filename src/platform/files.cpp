#include "platform/files.h"

#include <dirent.h>
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
