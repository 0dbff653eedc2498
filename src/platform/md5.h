#pragma once
// MD5 digests, for the checksums written beside transferred files. The hashing itself is
// the system's well-kept library; this wrapper keeps its header out of the program.

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Checksums computed on a thread of their own, so that a transfer never waits for them.
// Each checksum has an id chosen by the caller (small, from 0); the work is done in the
// order it is handed over. Bytes are copied: the caller may reuse its buffer at once.
// At most a few megabytes wait to be hashed; beyond that md5_queue_add waits.
struct Md5Queue;

struct Md5Result {
    char hex[kMd5HexSize];  // empty until the checksum is complete
    int error;              // of md5_queue_file: the errno value of the failure, else 0
};

Md5Queue* md5_queue_new();
// Waits for the work handed over, then releases the queue.
void md5_queue_delete(Md5Queue* queue);
void md5_queue_add(Md5Queue* queue, int id, const void* bytes, size_t length);
// The checksum id takes no more bytes.
void md5_queue_end(Md5Queue* queue, int id);
// Checksum id is that of a whole closed file, read back from the file system.
void md5_queue_file(Md5Queue* queue, int id, const char* path);
// Waits for all the work handed over; results[id] for every id used.
void md5_queue_results(Md5Queue* queue, std::vector<Md5Result>* results);
