// load_ASPI with real libraries: missing, without the entry points, and support queries
// that do or do not report adapters.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "scsi/aspi_transport.h"

namespace {

class ProviderLoading : public ::testing::Test {
protected:
    void TearDown() override {
        unload_ASPI();
        unsetenv("TERVANO_ASPI");
        unsetenv("TEST_PROVIDER_SUPPORT");
    }
    // The adapter count, and what load_ASPI printed.
    int load(const char* provider, const char* support = "0101") {
        setenv("TERVANO_ASPI", provider, 1);
        setenv("TEST_PROVIDER_SUPPORT", support, 1);
        testing::internal::CaptureStdout();
        int adapters = load_ASPI();
        printed = testing::internal::GetCapturedStdout();
        return adapters;
    }
    std::string printed;
};

TEST_F(ProviderLoading, MissingLibraryOrEntryPointIsAMissingProvider) {
    EXPECT_EQ(load("/nonexistent/libaspi_nothing.so"), -1);
    EXPECT_EQ(printed, "Can't find WNASPI32.DLL file\n");
    EXPECT_EQ(load(HALF_PROVIDER_PATH), -1);
    EXPECT_EQ(printed, "Can't find WNASPI32.DLL file\n");
}

TEST_F(ProviderLoading, SupportQueryWithoutAdaptersOrSuccess) {
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "0100"), -1);
    EXPECT_EQ(printed, "No ASPI for WIN32 support detected.\nASPI32 status 00000100\n");
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "12340401"), -1);
    EXPECT_EQ(printed, "No ASPI for WIN32 support detected.\nASPI32 status 12340401\n");
    // The upper bytes do not count: adapters in the low byte, status in the next.
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "abcd01ff"), 255);
    EXPECT_EQ(printed, "");
}

TEST_F(ProviderLoading, SendsThroughTheLoadedProvider) {
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "0103"), 3);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 4, 0};
    uint8_t data[4] = {};
    EXPECT_EQ(ASPI_Call(0, 0, 0, cdb, 6, data, sizeof data, 0, 1000), 0x01000000u);
    EXPECT_EQ(data[3], 0xA5);
    EXPECT_EQ(unload_ASPI(), 1);
}

}  // namespace
