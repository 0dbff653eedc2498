#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

LibraryHandle platform_library_open(const char* path) {
    if (!path || !*path) return nullptr;
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* platform_library_symbol(LibraryHandle library, const char* name) {
    if (!library || !name) return nullptr;
    return dlsym(library, name);
}

int platform_library_close(LibraryHandle library) {
    if (!library) return 0;
    return dlclose(library);
}

int platform_executable_dir(char* out, size_t size) {
    if (!out || size == 0) return -1;
    // readlink does not terminate the text and truncates silently: a full buffer means
    // the path may not have fitted.
    ssize_t length = readlink("/proc/self/exe", out, size);
    if (length <= 0 || static_cast<size_t>(length) >= size) return -1;
    out[length] = '\0';
    char* slash = strrchr(out, '/');
    if (!slash) return -1;
    if (slash == out) slash++;  // the executable sits in the root folder
    *slash = '\0';
    return 0;
}

std::string platform_executable_folder() {
    // The link's length is not known before it is read: a buffer it fills completely
    // may have cut it, so read again into one twice the size.
    for (size_t size = 256; size <= (1u << 20); size *= 2) {
        std::string path(size, '\0');
        ssize_t length = readlink("/proc/self/exe", path.data(), size);
        if (length <= 0) return std::string();
        if (static_cast<size_t>(length) == size) continue;
        path.resize(static_cast<size_t>(length));
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return std::string();
        path.resize(slash == 0 ? 1 : slash);
        return path;
    }
    return std::string();
}
