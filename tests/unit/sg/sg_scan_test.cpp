#include "sg/sg_scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "unit/sg/fake_kernel.h"

namespace {

// The listing goes to the provider's diagnostic stream, so that the two cannot mix.
using SgScan = SgFixture;

TEST_F(SgScan, ListsEveryDeviceWithWhatStandsInItsWay) {
    FakeDevice& disk = add_device("0:0:0:0", "sg0");
    disk.vendor = "ATA";
    disk.model = "Samsung SSD 860";
    disk.rev = "4B6Q";
    disk.type = 0;
    disk.open_errno = EACCES;
    disk.rw_group = "disk";
    add_device("3:0:4:0", "sg1");
    FakeDevice& far = add_device("3:0:9:1", "sg2");
    far.vendor = "SONY";
    far.model = "SDT-9000";
    far.rev = "12.2";

    EXPECT_EQ(3, sg_print_devices(&provider, diag));
    EXPECT_EQ(
        "ID      vendor   product          rev   type      device     host:channel:target:lun\n"
        "0:0     ATA      Samsung SSD 860  4B6Q  disk      /dev/sg0   0:0:0:0\n"
        "        cannot open /dev/sg0 (adapter:target 0:0, ATA Samsung SSD 860): Permission "
        "denied\n"
        "        give your user read-write access to it with a udev rule (see linux-drives.md)\n"
        "1:4     ARCHIVE  Python 25601-XXX 2.63  tape      /dev/sg1   3:0:4:0\n"
        "1:9     SONY     SDT-9000         12.2  tape      /dev/sg2   3:0:9:1\n"
        "        not reachable: /INPUTID and /OUTPUTID take adapter and target 0-7, LUN 0\n"
        "\n"
        "Give a drive's ID (adapter:target) after /INPUTID or /OUTPUTID.\n",
        diagnostics());
    // the access check leaves nothing open
    EXPECT_EQ(kernel.devices[1].opens, kernel.devices[1].closes);
}

TEST_F(SgScan, SaysPlainlyWhenThereIsNothing) {
    kernel.sysfs_present = false;
    EXPECT_EQ(0, sg_print_devices(&provider, diag));
    EXPECT_EQ(
        "No SCSI generic devices found.\n"
        "The sg kernel module serves them; \"sudo modprobe sg\" loads it.\n",
        diagnostics());
}

}  // namespace
