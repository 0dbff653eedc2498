#include "platform/md5.h"

#include <md5.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
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

namespace {

constexpr size_t kChunkBytes = 512 * 1024;
constexpr size_t kMaxWaitingChunks = 8;

enum TaskKind { TASK_ADD, TASK_END, TASK_FILE };

struct Task {
    TaskKind kind;
    int id;
    std::vector<uint8_t> bytes;  // TASK_ADD
    std::string path;            // TASK_FILE
};

}  // namespace

struct Md5Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Task> tasks;  // waiting, oldest first
    size_t waiting_chunks = 0;
    bool busy = false;  // the worker holds a task
    bool closing = false;
    Task filling{TASK_ADD, -1, {}, {}};  // bytes gathered into one chunk before it is handed over
    std::vector<Md5Sum> sums;
    std::vector<Md5Result> results;
    std::thread worker;
};

namespace {

void grow(Md5Queue* q, int id) {
    if (static_cast<size_t>(id) < q->sums.size()) return;
    const size_t from = q->sums.size();
    q->sums.resize(static_cast<size_t>(id) + 1);
    q->results.resize(static_cast<size_t>(id) + 1);
    for (size_t i = from; i < q->sums.size(); ++i) md5_begin(&q->sums[i]);
}

// Only the worker touches sums and results until the queue is drained.
void run_task(Md5Queue* q, Task& task) {
    grow(q, task.id);
    Md5Result& result = q->results[static_cast<size_t>(task.id)];
    switch (task.kind) {
        case TASK_ADD:
            md5_add(&q->sums[static_cast<size_t>(task.id)], task.bytes.data(), task.bytes.size());
            break;
        case TASK_END:
            md5_end(&q->sums[static_cast<size_t>(task.id)], result.hex);
            break;
        case TASK_FILE:
            result.error = md5_file(task.path.c_str(), result.hex);
            break;
    }
}

void work(Md5Queue* q) {
    std::unique_lock<std::mutex> lock(q->mutex);
    for (;;) {
        q->changed.wait(lock, [q] { return !q->tasks.empty() || q->closing; });
        if (q->tasks.empty()) return;
        Task task = std::move(q->tasks.front());
        q->tasks.pop_front();
        if (task.kind == TASK_ADD) q->waiting_chunks--;
        q->busy = true;
        q->changed.notify_all();
        lock.unlock();
        run_task(q, task);
        lock.lock();
        q->busy = false;
        q->changed.notify_all();
    }
}

void hand_over(Md5Queue* q, Task task) {
    std::unique_lock<std::mutex> lock(q->mutex);
    if (task.kind == TASK_ADD) {
        q->changed.wait(lock, [q] { return q->waiting_chunks < kMaxWaitingChunks; });
        q->waiting_chunks++;
    }
    q->tasks.push_back(std::move(task));
    if (!q->worker.joinable()) q->worker = std::thread(work, q);
    q->changed.notify_all();
}

void hand_over_filling(Md5Queue* q) {
    if (q->filling.bytes.empty()) return;
    hand_over(q, std::move(q->filling));
    q->filling = Task{TASK_ADD, -1, {}, {}};
}

void drain(Md5Queue* q) {
    hand_over_filling(q);
    std::unique_lock<std::mutex> lock(q->mutex);
    q->changed.wait(lock, [q] { return q->tasks.empty() && !q->busy; });
}

}  // namespace

Md5Queue* md5_queue_new() {
    return new Md5Queue;
}

void md5_queue_delete(Md5Queue* queue) {
    if (!queue) return;
    drain(queue);
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        queue->closing = true;
    }
    queue->changed.notify_all();
    if (queue->worker.joinable()) queue->worker.join();
    delete queue;
}

void md5_queue_add(Md5Queue* queue, int id, const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        if (queue->filling.id != id || queue->filling.bytes.size() >= kChunkBytes) {
            hand_over_filling(queue);
            queue->filling.id = id;
            queue->filling.bytes.reserve(kChunkBytes);
        }
        const size_t n = std::min(length, kChunkBytes - queue->filling.bytes.size());
        queue->filling.bytes.insert(queue->filling.bytes.end(), p, p + n);
        p += n;
        length -= n;
    }
}

void md5_queue_end(Md5Queue* queue, int id) {
    hand_over_filling(queue);
    hand_over(queue, Task{TASK_END, id, {}, {}});
}

void md5_queue_file(Md5Queue* queue, int id, const char* path) {
    hand_over_filling(queue);
    hand_over(queue, Task{TASK_FILE, id, {}, path});
}

void md5_queue_results(Md5Queue* queue, std::vector<Md5Result>* results) {
    drain(queue);
    *results = queue->results;
}
