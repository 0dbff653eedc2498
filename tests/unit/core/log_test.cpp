#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Each test runs in a fresh directory of its own, since the log goes to the current one.
class LogTest : public testing::Test {
protected:
    void SetUp() override {
        previous_dir_ = std::filesystem::current_path();
        dir_ = (std::filesystem::temp_directory_path() / "tervano_log_XXXXXX").string();
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        RecVerbose(0);
        std::filesystem::current_path(previous_dir_);
        std::filesystem::remove_all(dir_);
    }
    static std::string log_contents() {
        std::ostringstream text;
        text << std::ifstream("log.txt", std::ios::binary).rdbuf();
        return text.str();
    }
    std::filesystem::path previous_dir_;
    std::string dir_;
};

TEST_F(LogTest, AppendsMessagesInOrderWithoutAddingLineEnds) {
    std::ofstream("log.txt") << "earlier run\n";
    log_message("Unsupported waveform format/rate: %d", 3);
    log_message("waveOutWrite error %u\n", 5u);
    EXPECT_EQ(log_contents(),
              "earlier run\nUnsupported waveform format/rate: 3waveOutWrite error 5\n");
}

TEST_F(LogTest, NegativeLevelSilencesAndZeroRestores) {
    EXPECT_EQ(RecVerbose(-1), -1);
    log_message("dropped %d\n", 1);
    EXPECT_FALSE(std::filesystem::exists("log.txt"));
    EXPECT_EQ(RecVerbose(0), 0);
    log_message("kept %d\n", 2);
    EXPECT_EQ(log_contents(), "kept 2\n");
}

TEST_F(LogTest, LongMessageIsWrittenWhole) {
    std::string filler(1500, 'x');
    log_message("<%s|%d>", filler.c_str(), 42);
    EXPECT_EQ(log_contents(), "<" + filler + "|42>");
}

TEST_F(LogTest, UnopenableLogIsIgnored) {
    ASSERT_EQ(mkdir("log.txt", 0755), 0);  // a directory cannot be opened for appending
    log_message("lost %d\n", 1);
    EXPECT_TRUE(std::filesystem::is_directory("log.txt"));
}

}  // namespace
