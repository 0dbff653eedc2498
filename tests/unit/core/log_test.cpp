#include "core/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "unit/playback/playback_test_support.h"

namespace {

// The log lands in the current folder, here a fresh one.
TEST(Log, AppendsEachMessageWholeAndAsGivenUnlessSilenced) {
    ScratchDirectory scratch;
    ASSERT_FALSE(scratch.path().empty());
    std::ofstream("log.txt") << "earlier run\n";
    const std::string filler(1500, 'x');
    log_message("<%s|%d>", filler.c_str(), 42);
    EXPECT_EQ(RecVerbose(-1), -1);
    log_message("dropped %d\n", 1);
    EXPECT_EQ(RecVerbose(0), 0);
    log_message("kept %u\n", 2u);
    EXPECT_EQ(read_log(), "earlier run\n<" + filler + "|42>kept 2\n");
}

}  // namespace
