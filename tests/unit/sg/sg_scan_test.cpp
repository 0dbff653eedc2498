#include "sg/sg_scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "unit/sg/fake_kernel.h"

namespace {

// The listing goes to the provider's diagnostic stream, so that the two cannot mix.
using SgScan = SgFixture;

// Adapters number the (host, channel) pairs in ascending order; the listing shows each
// device the sg driver serves under a whole kernel address, with printable strings.
TEST_F(SgScan, ListsEveryDeviceWithWhatStandsInItsWay) {
    add_device("5:1:3:0", "sg3");
    FakeDevice& disk = add_device("0:0:0:0", "sg0", "ATA", "Samsung SSD 860", "4B6Q", 0);
    disk.open_errno = EACCES;
    disk.rw_group = "disk";
    add_device("5:0:2:0", "sg2");
    add_device("3:0:4:0", "sg1");
    add_device("5:1:6:1", "sg4");
    add_device("7:0:9:0", "sg6", "SONY", "SDT-9000\x01", "12.2 and more", 99);
    add_device("1:0:0:0", "");  // not served by the sg driver: no adapter of its own
    add_device("6:0:5:0", "sg5x");
    for (const char* bad :
         {"1:2:3", "1:2:3:4:5", "1:2:3:x", "2147483648:0:0:0", "-1:0:0:0", "1:2:3:4 ", "1::3:4"}) {
        add_device(bad, "sg9");
    }

    EXPECT_EQ(6, sg_print_devices(&provider, diag));
    EXPECT_EQ(
        "ID      vendor   product          rev   type      device     host:channel:target:lun\n"
        "0:0     ATA      Samsung SSD 860  4B6Q  disk      /dev/sg0   0:0:0:0\n"
        "        cannot open /dev/sg0 (adapter:target 0:0, ATA Samsung SSD 860): Permission "
        "denied\n"
        "        give your user read-write access to it with a udev rule (see linux-drives.md)\n"
        "1:4     ARCHIVE  Python 25601-XXX 2.63  tape      /dev/sg1   3:0:4:0\n"
        "2:2     ARCHIVE  Python 25601-XXX 2.63  tape      /dev/sg2   5:0:2:0\n"
        "3:3     ARCHIVE  Python 25601-XXX 2.63  tape      /dev/sg3   5:1:3:0\n"
        "3:6     ARCHIVE  Python 25601-XXX 2.63  tape      /dev/sg4   5:1:6:1\n"
        "        not reachable: /INPUTID and /OUTPUTID take adapter and target 0-7, LUN 0\n"
        "4:9     SONY     SDT-9000?        12.2  unknown   /dev/sg6   7:0:9:0\n"
        "        not reachable: /INPUTID and /OUTPUTID take adapter and target 0-7, LUN 0\n"
        "\n"
        "Give a drive's ID (adapter:target) after /INPUTID or /OUTPUTID.\n",
        diagnostics());
    EXPECT_EQ(-1, provider.devices.back().device_type);
    // the access check leaves nothing open
    EXPECT_EQ(devices[3].opens, devices[3].closes);
}

// Adapters up to what the support query's byte holds; none without devices or sysfs.
TEST_F(SgScan, CountsAdaptersUpToWhatOneByteHoldsAndSaysPlainlyWhenThereIsNone) {
    EXPECT_EQ(0xE800u, sg_support_info(&provider));  // SS_NO_ADAPTERS
    for (int host = 0; host < 256; ++host) add_device(std::to_string(host) + ":0:1:0", "sg1");
    EXPECT_EQ(0x01FFu, sg_support_info(&provider));
    provider.sysfs_devices = "/nonexistent/sys/bus/scsi/devices";
    EXPECT_EQ(0xE800u, sg_support_info(&provider));
    EXPECT_EQ(0, sg_print_devices(&provider, diag));
    EXPECT_EQ(
        "No SCSI generic devices found.\n"
        "The sg kernel module serves them; \"sudo modprobe sg\" loads it.\n",
        diagnostics());
}

}  // namespace
