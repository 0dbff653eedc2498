#include "input/pcm_queue.h"

#include <cstring>

namespace {

struct PcmQueue {
    uint8_t bytes[kPcmPieceBytes];
    int32_t begin;  // the first byte not yet handed out
    int32_t end;
};

PcmQueue queue;

bool refill(PcmSource source) {
    const uint8_t* piece = nullptr;
    int32_t length = 0;
    if (!source(&piece, &length)) return false;
    if (length <= 0 || length > kPcmPieceBytes) return false;
    memcpy(queue.bytes, piece, size_t(length));
    queue.begin = 0;
    queue.end = length;
    return true;
}

}  // namespace

void pcm_queue_reset() {
    queue.begin = 0;
    queue.end = 0;
}

int32_t pcm_queue_take(uint8_t* out, int32_t n, PcmSource source) {
    int32_t done = 0;
    while (done < n) {
        if (queue.begin == queue.end && !refill(source)) break;
        int32_t take = queue.end - queue.begin;
        if (take > n - done) take = n - done;
        memcpy(out + done, queue.bytes + queue.begin, size_t(take));
        queue.begin += take;
        done += take;
    }
    return done;
}
