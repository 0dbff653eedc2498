#pragma once
// The provider's calls into the kernel, gathered in one table so that the unit tests can
// run the provider against a fake kernel. Every entry keeps the POSIX convention: -1 with
// errno set on failure.

#include <scsi/sg.h>

#include <cstddef>
#include <string>
#include <vector>

struct SgSystem {
    int (*open_device)(const char* path, int flags);
    int (*close_device)(int fd);
    // ioctl(fd, SG_IO, io): runs one command and returns when it has ended.
    int (*send_sg_io)(int fd, sg_io_hdr_t* io);
    // The entry names of a directory, "." and ".." left out.
    int (*list_directory)(const char* path, std::vector<std::string>* names);
    // Reads at most size bytes of a small (sysfs) file; returns the byte count.
    long (*read_file)(const char* path, char* buffer, size_t size);
    // Writes the name of the group that owns path into name (terminated) and returns 0,
    // provided that group may read and write path; -1 otherwise.
    int (*rw_group)(const char* path, char* name, size_t size);
};

// The table that talks to the running kernel.
const SgSystem* sg_real_system();
