// Checksums on the hasher's thread against the same bytes hashed in place.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/md5.h"

namespace {

std::string direct(const std::vector<uint8_t>& bytes) {
    Md5Sum sum;
    md5_begin(&sum);
    md5_add(&sum, bytes.data(), bytes.size());
    char hex[kMd5HexSize];
    md5_end(&sum, hex);
    return hex;
}

TEST(Md5Queue, ChecksumsInterleavedStreamsAndFilesInOrder) {
    // Three streams fed in turn, pieces of odd lengths, more than the queue holds at once.
    std::vector<std::vector<uint8_t>> streams(3);
    Md5Queue* queue = md5_queue_new();
    for (int piece = 0; piece < 600; ++piece) {
        const int id = piece % 3;
        std::vector<uint8_t> bytes(5000 + piece * 37 % 9000 + id, static_cast<uint8_t>(piece));
        md5_queue_add(queue, id, bytes.data(), bytes.size());
        streams[id].insert(streams[id].end(), bytes.begin(), bytes.end());
        bytes.assign(bytes.size(), 0);  // the queue keeps its own copy
    }
    const std::string path = testing::TempDir() + "md5_queue_test_" + std::to_string(getpid());
    FILE* file = fopen(path.c_str(), "wb");
    fwrite(streams[1].data(), 1, streams[1].size(), file);
    fclose(file);
    for (int id : {0, 2}) md5_queue_end(queue, id);
    md5_queue_file(queue, 4, path.c_str());
    md5_queue_file(queue, 5, (path + ".missing").c_str());
    std::vector<Md5Result> results;
    md5_queue_results(queue, &results);
    md5_queue_delete(queue);
    remove(path.c_str());

    ASSERT_EQ(results.size(), 6u);
    EXPECT_EQ(results[0].hex, direct(streams[0]));
    EXPECT_STREQ(results[1].hex, "");  // never ended
    EXPECT_EQ(results[2].hex, direct(streams[2]));
    EXPECT_EQ(results[4].hex, direct(streams[1]));
    EXPECT_EQ(results[4].error, 0);
    EXPECT_EQ(results[5].error, ENOENT);
}

}  // namespace
