#include "sg/sg_discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "unit/sg/fake_kernel.h"

namespace {

TEST(SgAddress, ReadsOnlyWholeKernelAddresses) {
    SgDevice d{};
    ASSERT_TRUE(sg_parse_scsi_address("10:3:15:1099511627776", &d));
    EXPECT_EQ(std::make_tuple(10, 3, 15, uint64_t{1099511627776}),
              std::make_tuple(d.host, d.channel, d.target, d.lun));
    for (const char* bad : {"host0", "target0:0:0", "1:2:3", "1:2:3:4:5", "1:2:3:x", "",
                            "2147483648:0:0:0", "-1:0:0:0", "1:2:3:4 ", "1::3:4"}) {
        EXPECT_FALSE(sg_parse_scsi_address(bad, &d)) << bad;
    }
}

using SgDiscovery = SgFixture;

TEST_F(SgDiscovery, NumbersHostChannelPairsInAscendingOrder) {
    // listed out of order, hosts 1, 2 and 4 absent, host 5 with two channels
    add_device("5:1:3:0", "sg3");
    add_device("0:0:0:0", "sg0");
    add_device("5:0:2:0", "sg2");
    add_device("3:0:4:0", "sg1");
    add_device("5:1:6:0", "sg4");
    add_device("1:0:0:0", "");  // not served by the sg driver: no adapter of its own
    add_device("6:0:5:0", "sg5x");

    EXPECT_EQ(0x0104u, sg_support_info(&provider));
    std::string seen;
    for (const SgDevice& d : provider.devices) {
        seen += std::to_string(d.adapter) + ":" + std::to_string(d.target) + " " + d.node + ";";
    }
    EXPECT_EQ("0:0 /dev/sg0;1:4 /dev/sg1;2:2 /dev/sg2;3:3 /dev/sg3;3:6 /dev/sg4;", seen);
}

TEST_F(SgDiscovery, CountsAdaptersUpToWhatOneByteHolds) {
    EXPECT_EQ(0xE800u, sg_support_info(&provider));  // SS_NO_ADAPTERS
    for (int host = 0; host < 300; ++host) {
        std::string name = "sg" + std::to_string(host);
        add_device((std::to_string(host) + ":0:1:0").c_str(), name.c_str());
    }
    EXPECT_EQ(0x01FFu, sg_support_info(&provider));
    kernel.sysfs_present = false;
    EXPECT_EQ(0xE800u, sg_support_info(&provider));
}

TEST_F(SgDiscovery, KeepsInquiryStringsPrintableAndWithinTheirFields) {
    FakeDevice& tape = add_device("0:0:4:0", "sg1");
    tape.model = "SDT-9000\x01";
    tape.rev = "12.2 and more";
    tape.type = 99;
    sg_support_info(&provider);
    const SgDevice& d = provider.devices.at(0);
    EXPECT_STREQ("SDT-9000?", d.product);
    EXPECT_STREQ("12.2", d.revision);
    EXPECT_EQ(-1, d.device_type);
}

}  // namespace
