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
