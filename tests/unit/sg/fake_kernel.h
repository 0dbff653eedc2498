#pragma once
// A fake kernel for the SCSI generic provider: a sysfs tree of SCSI devices, their /dev/sg
// nodes and one scripted SG_IO answer per device; and a fixture that runs a provider over
// it with the diagnostic stream captured.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sg/sg_provider.h"

// What SG_IO gives back; ioctl_errno non-zero makes the ioctl itself fail. resid is the
// driver's residual count, which some drivers leave at 0 after a short tape read.
struct FakeAnswer {
    int ioctl_errno = 0;
    uint8_t status = 0;
    uint16_t host_status = 0;
    uint16_t driver_status = 0;
    std::vector<uint8_t> data{};
    std::vector<uint8_t> sense{};
    int resid = 0;
};

struct FakeDevice {
    std::string address;  // "host:channel:target:lun"
    std::string sg_name;  // "sgN"; empty: the sg driver does not serve it
    std::string vendor = "ARCHIVE";
    std::string model = "Python 25601-XXX";
    std::string rev = "2.63";
    int type = 1;
    int open_errno = 0;
    std::string rw_group = "tape";  // empty: no group may read and write the node
    FakeAnswer answer{};
    int opens = 0;  // what the provider did
    int closes = 0;
    int open_flags = 0;
    std::vector<sg_io_hdr_t> requests{};  // as sent; their pointers are stale afterwards
    std::vector<std::vector<uint8_t>> cdbs{};
};

struct FakeKernel {
    bool sysfs_present = true;
    std::vector<FakeDevice> devices;
};

class SgFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    FakeDevice& add_device(const char* address, const char* sg_name);
    std::string diagnostics();

    FakeKernel kernel;
    SgProvider provider;
    FILE* diag = nullptr;
    char* diag_text = nullptr;
    size_t diag_size = 0;
};
