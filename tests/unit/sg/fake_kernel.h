#pragma once
// A fake kernel for the SCSI generic provider: a scratch folder laid out as sysfs lays out
// the SCSI devices (read through the provider's real directory and file calls), their
// /dev/sg nodes and one scripted SG_IO answer per device; and a fixture that runs a
// provider over it with the diagnostic stream captured.

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sg/sg_provider.h"

using Bytes = std::vector<uint8_t>;

// What SG_IO gives back; ioctl_errno non-zero makes the ioctl itself fail. resid is the
// driver's residual count, which some drivers leave at 0 after a short tape read.
struct FakeAnswer {
    int ioctl_errno = 0;
    uint8_t status = 0;
    uint16_t host_status = 0;
    uint16_t driver_status = 0;
    Bytes data{};
    Bytes sense{};
    int resid = 0;
};

struct FakeDevice {
    std::string node;  // "/dev/sgN"
    int open_errno = 0;
    std::string rw_group = "tape";  // empty: no group may read and write the node
    FakeAnswer answer{};
    int opens = 0, closes = 0, open_flags = 0;  // what the provider did
    std::vector<sg_io_hdr_t> requests{};        // as sent; their pointers are stale afterwards
    std::vector<Bytes> cdbs{};
};

class SgFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A SCSI device at a kernel address ("host:channel:target:lun"), with its sg node
    // ("sgN"; empty when the sg driver does not serve it) and its inquiry strings.
    FakeDevice& add_device(const std::string& address, const std::string& sg_name,
                           const std::string& vendor = "ARCHIVE",
                           const std::string& model = "Python 25601-XXX",
                           const std::string& rev = "2.63", int type = 1);
    std::string diagnostics();

    std::string sysfs;               // stands for /sys/bus/scsi/devices
    std::deque<FakeDevice> devices;  // in the order added
    SgProvider provider;
    FILE* diag = nullptr;
    char* diag_text = nullptr;
    size_t diag_size = 0;
};
