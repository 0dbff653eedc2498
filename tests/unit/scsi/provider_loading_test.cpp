// load_ASPI with real libraries: missing, without the entry points, and support queries
// that do or do not report adapters; then a command through the loaded provider.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <tuple>

#include "scsi/aspi_transport.h"

namespace {

TEST(ProviderLoading, LoadsOnlyAProviderThatReportsAdapters) {
    const char* const no_support = "No ASPI for WIN32 support detected.\nASPI32 status ";
    // the library, what its support query answers, then load_ASPI's result and what it printed
    const std::tuple<const char*, const char*, int, std::string> cases[] = {
        {"/nonexistent/libaspi_nothing.so", "0101", -1, "Can't find WNASPI32.DLL file\n"},
        {HALF_PROVIDER_PATH, "0101", -1, "Can't find WNASPI32.DLL file\n"},
        {TEST_PROVIDER_PATH, "0100", -1, no_support + std::string("00000100\n")},
        {TEST_PROVIDER_PATH, "12340401", -1, no_support + std::string("12340401\n")},
        // the upper bytes do not count: adapters in the low byte, status in the next
        {TEST_PROVIDER_PATH, "abcd01ff", 255, ""},
        {TEST_PROVIDER_PATH, "0103", 3, ""},
    };
    for (const auto& [provider, support, adapters, printed] : cases) {
        setenv("TERVANO_ASPI", provider, 1);
        setenv("TEST_PROVIDER_SUPPORT", support, 1);
        testing::internal::CaptureStdout();
        int loaded = load_ASPI();
        EXPECT_EQ(std::tuple(loaded, testing::internal::GetCapturedStdout()),
                  std::tuple(adapters, printed))
            << support;
    }
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 4, 0};
    uint8_t data[4] = {};
    EXPECT_EQ(ASPI_Call(0, 0, 0, cdb, 6, data, sizeof data, 0, 1000), 0x01000000u);
    EXPECT_EQ(data[3], 0xA5) << "what the provider put there";
    EXPECT_EQ(unload_ASPI(), 1);
    unsetenv("TERVANO_ASPI");
    unsetenv("TEST_PROVIDER_SUPPORT");
}

}  // namespace
