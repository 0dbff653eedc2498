#pragma once
// MD5 digests, for the checksums written beside transferred files. The hashing itself is
// the system's well-kept library; this wrapper keeps its header out of the program.

#include <cstddef>
#include <cstdint>

constexpr int kMd5HexSize = 33;  // 32 hexadecimal digits and the terminating zero

struct Md5Sum {
    alignas(8) uint8_t state[128];  // the library's context, copied by value
};

void md5_begin(Md5Sum* sum);
void md5_add(Md5Sum* sum, const void* bytes, size_t length);
void md5_end(Md5Sum* sum, char (&hex)[kMd5HexSize]);

// The digest of a whole file, read back from the file system: 0, or the errno value of
// the failure.
int md5_file(const char* path, char (&hex)[kMd5HexSize]);
