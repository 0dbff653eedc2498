// load_ASPI with real libraries: missing, without the entry points, and support queries
// that do or do not report adapters.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "fake_drive.h"
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
    int load(const char* provider, const char* support = nullptr) {
        setenv("TERVANO_ASPI", provider, 1);
        if (support) setenv("TEST_PROVIDER_SUPPORT", support, 1);
        StdoutCapture capture;
        int adapters = load_ASPI();
        printed = capture.text();
        return adapters;
    }
    std::string printed;
};

TEST_F(ProviderLoading, MissingLibraryOrEntryPointIsAMissingProvider) {
    EXPECT_EQ(load("/nonexistent/libaspi_nothing.so"), -1);
    EXPECT_EQ(printed, "Can't find WNASPI32.DLL file\n");

    EXPECT_EQ(load(HALF_PROVIDER_PATH), -1);
    EXPECT_EQ(printed, "Can't find WNASPI32.DLL file\n");

    // No command can reach a provider that was not loaded.
    const uint8_t cdb[6] = {};
    EXPECT_NE(ASPI_Call(0, 0, 0, cdb, 6, nullptr, 0, 0, 100) >> 24, 0x01u);
}

TEST_F(ProviderLoading, ReturnsTheAdapterCountAndSendsThroughTheProvider) {
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "0103"), 3);
    EXPECT_EQ(printed, "");
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 4, 0};
    uint8_t data[4] = {};
    EXPECT_EQ(ASPI_Call(0, 0, 0, cdb, 6, data, sizeof data, 0, 1000), 0x01000000u);
    EXPECT_EQ(data[3], 0xA5);
    EXPECT_EQ(unload_ASPI(), 1);
}

TEST_F(ProviderLoading, SupportQueryWithoutAdaptersOrSuccess) {
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "0100"), -1);
    EXPECT_EQ(printed, "No ASPI for WIN32 support detected.\nASPI32 status 00000100\n");

    EXPECT_EQ(load(TEST_PROVIDER_PATH, "e802"), -1);
    EXPECT_EQ(printed, "No ASPI for WIN32 support detected.\nASPI32 status 0000e802\n");

    EXPECT_EQ(load(TEST_PROVIDER_PATH, "12340401"), -1);
    EXPECT_EQ(printed, "No ASPI for WIN32 support detected.\nASPI32 status 12340401\n");

    // The upper bytes do not count: adapters in the low byte, status in the next.
    EXPECT_EQ(load(TEST_PROVIDER_PATH, "abcd01ff"), 255);
}

}  // namespace
