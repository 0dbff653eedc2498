#include "platform/md5.h"

#include <md5.h>

#include <cerrno>
#include <cstdio>
#include <vector>

static_assert(sizeof(MD5_CTX) <= sizeof(Md5Sum::state));
static_assert(alignof(MD5_CTX) <= 8);

namespace {

MD5_CTX* context(Md5Sum* sum) {
    return reinterpret_cast<MD5_CTX*>(sum->state);
}

}  // namespace

void md5_begin(Md5Sum* sum) {
    MD5Init(context(sum));
}

void md5_add(Md5Sum* sum, const void* bytes, size_t length) {
    MD5Update(context(sum), static_cast<const uint8_t*>(bytes), length);
}

void md5_end(Md5Sum* sum, char (&hex)[kMd5HexSize]) {
    uint8_t digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, context(sum));
    for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) snprintf(&hex[2 * i], 3, "%02x", digest[i]);
}

int md5_file(const char* path, char (&hex)[kMd5HexSize]) {
    FILE* file = fopen(path, "rb");
    if (!file) return errno;
    Md5Sum sum;
    md5_begin(&sum);
    std::vector<uint8_t> buffer(1 << 16);
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), file)) > 0) md5_add(&sum, buffer.data(), n);
    const int error = ferror(file) ? (errno ? errno : EIO) : 0;
    fclose(file);
    md5_end(&sum, hex);
    return error;
}
