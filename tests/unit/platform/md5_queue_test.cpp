// Checksums on the hasher's thread against the stream's known checksum.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/md5.h"

namespace {

TEST(Md5Queue, ChecksumsAStreamPastTheQueueLimitAndFilesReadBack) {
    std::vector<uint8_t> stream;
    Md5Queue* queue = md5_queue_new();
    for (int piece = 0; piece < 400; ++piece) {  // 8 MB, more than the queue holds at once
        std::vector<uint8_t> bytes(5000 + piece * 37 % 9000, static_cast<uint8_t>(piece));
        md5_queue_add(queue, 0, bytes.data(), bytes.size());
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    const std::string path = testing::TempDir() + "md5_queue_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary).write((const char*)stream.data(), stream.size());
    md5_queue_end(queue, 0);
    md5_queue_file(queue, 1, path.c_str());
    md5_queue_file(queue, 3, (path + ".missing").c_str());
    std::vector<Md5Result> results;
    md5_queue_results(queue, &results);
    md5_queue_delete(queue);
    unlink(path.c_str());

    ASSERT_EQ(results.size(), 4u);
    for (int i : {0, 1}) EXPECT_STREQ(results[i].hex, "65a6e439aceb5bf24f8c14610fa34397") << i;
    EXPECT_EQ(results[3].error, ENOENT);
}

}  // namespace
