#pragma once
// Files read and written at byte offsets: tape images and the virtual drive's cassettes.
// A descriptor here; a Win32 version would keep a HANDLE in the same record and read with
// an OVERLAPPED offset. Every call returns 0 or -1; after -1 platform_file_error() gives
// the system's reason.

#include <cstddef>
#include <cstdint>

struct PlatformFile {
    int fd = -1;
};

// What tells one file from another, and how long it is.
struct FileIdentity {
    uint64_t device;
    uint64_t inode;
    uint64_t bytes;
    uint64_t links;  // names the file has: 0 once it has been removed
    bool regular;    // not a folder, device or pipe
};

enum FileAccess { FILE_READ_ONLY, FILE_READ_WRITE };

int platform_file_open(const char* path, int access, PlatformFile* file);
void platform_file_close(PlatformFile* file);

// Exactly length bytes from offset; a file that ends before them is an error.
int platform_file_read_at(PlatformFile file, uint64_t offset, void* out, size_t length);
int platform_file_write_at(PlatformFile file, uint64_t offset, const void* data, size_t length);
int platform_file_truncate(PlatformFile file, uint64_t length);

int platform_file_identify(PlatformFile file, FileIdentity* identity);
int platform_path_identify(const char* path, FileIdentity* identity);

const char* platform_file_error();
