#pragma once
#include <cstddef>
#include <string>

// Run-time loading of a shared library (dlopen here; LoadLibraryA on Windows).
typedef void* LibraryHandle;

// nullptr when the library cannot be loaded.
LibraryHandle platform_library_open(const char* path);
// nullptr when the library does not export the symbol.
void* platform_library_symbol(LibraryHandle library, const char* name);
// 0 on success, like dlclose.
int platform_library_close(LibraryHandle library);

// The folder of the running executable, without a trailing slash. 0 on success, -1 when
// it cannot be told or does not fit in size bytes.
int platform_executable_dir(char* out, size_t size);
// The same without a length limit; empty when it cannot be told.
std::string platform_executable_folder();
