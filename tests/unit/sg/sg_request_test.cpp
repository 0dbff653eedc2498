#include "sg/sg_request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>
#include <vector>

#include "platform/aspi_srb.h"
#include "sg/sg_provider.h"
#include "unit/sg/fake_kernel.h"

namespace {

constexpr uint32_t kFrameBytes = 5822;
constexpr uint8_t kCheck = STATUS_CHKCOND;

// Fixed-format sense: byte 2 key and flags, 3-6 INFORMATION (VALID in byte 0 when given),
// 7 additional length, 12 ASC, 13 ASCQ.
// clang-format off
Bytes fixed_sense(uint8_t byte2, uint8_t asc, uint8_t ascq, uint32_t info = 0) {
    return {uint8_t(info ? 0xF0 : 0x70), 0, byte2, uint8_t(info >> 24), uint8_t(info >> 16),
            uint8_t(info >> 8), uint8_t(info), 0x0A, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
}
// clang-format on

// A CHECK CONDITION with sense, after data and with the driver's residual count.
FakeAnswer check(Bytes sense, Bytes data = {}, int resid = 0, uint16_t host = 0) {
    return {.status = kCheck, .host_status = host, .data = data, .sense = sense, .resid = resid};
}

// The ScsiStatus the transport builds from a finished request.
uint32_t scsi_status_of(const SRB_ExecSCSICmd& srb) {
    return (uint32_t{srb.SRB_Status} << 24) | (uint32_t{srb.SenseArea[2]} << 16) |
           (uint32_t{srb.SenseArea[12]} << 8) | srb.SenseArea[13];
}

class SgRequest : public SgFixture {
protected:
    void SetUp() override {
        SgFixture::SetUp();
        event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_GE(event, 0);
        add_device("2:0:4:0", "sg1");  // the tape: adapter 0, target 4
        ASSERT_EQ(0x0101u, sg_support_info(&provider));
    }
    void TearDown() override {
        close(event);
        SgFixture::TearDown();
    }
    FakeDevice& tape() { return devices[0]; }

    // READ(6) of one frame in variable-length mode, as the program sends it.
    SRB_ExecSCSICmd read_frame() {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
        srb.SRB_Target = 4;
        srb.SRB_BufLen = kFrameBytes;
        srb.SRB_BufPointer = buffer.data();
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = 6;
        memcpy(srb.CDBByte, "\x08\x00\x00\x16\xBE\x00", 6);
        srb.SRB_PostProc = aspi_event_to_postproc(event);
        return srb;
    }
    uint32_t send(void* srb) { return sg_send_command(&provider, srb); }
    uint64_t signals() {
        uint64_t count = 0;
        return read(event, &count, sizeof count) == sizeof count ? count : 0;
    }

    int event = -1;
    Bytes buffer = Bytes(kFrameBytes, 0);
};

TEST_F(SgRequest, SendsEachRequestAsGiven) {
    SRB_ExecSCSICmd srb = read_frame();
    EXPECT_EQ(SS_COMP, send(&srb));
    srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_OUT;  // WRITE(6), with the caller's timeout
    srb.CDBByte[0] = 0x0A;
    aspi_set_timeout_ms(&srb, 25000);
    EXPECT_EQ(SS_COMP, send(&srb));
    auto sent = [this](size_t i) {
        const sg_io_hdr_t& io = tape().requests.at(i);
        return std::tuple(io.dxfer_direction, io.dxfer_len, io.timeout, tape().cdbs.at(i));
    };
    EXPECT_EQ(sent(0), std::tuple(SG_DXFER_FROM_DEV, kFrameBytes, kSgDefaultTimeoutMs,
                                  Bytes{0x08, 0x00, 0x00, 0x16, 0xBE, 0x00}));
    EXPECT_EQ(sent(1),
              std::tuple(SG_DXFER_TO_DEV, kFrameBytes, 25000u, Bytes{0x0A, 0, 0, 0x16, 0xBE, 0}));
    EXPECT_EQ(O_RDWR | O_NONBLOCK, tape().open_flags & (O_ACCMODE | O_NONBLOCK));
}

const Bytes kDescriptorSense = {
    0x72, 0x08, 0x00, 0x05, 0, 0, 0, 0x10,  // BLANK CHECK 00h/05h, 16 bytes follow
    0x00, 0x0A, 0x80, 0,    0, 0, 0, 0,    0, 0, 0x03, 0x36,  // INFORMATION 822, VALID
    0x04, 0x02, 0x00, 0x60};                                  // stream commands: EOM, ILI
const uint32_t kAll = kFrameBytes;
const Bytes kData = Bytes(5000, 0x5A), kFull = Bytes(kAll, 0x5A);

// What the kernel answers (ioctl errno, SCSI status, host byte, driver byte, data, sense,
// resid), then what the caller of SendASPI32Command finds: the ScsiStatus as the transport
// packs it (SRB_Status in the top byte), SRB_HaStat and SRB_BufLen, which is the residue
// when SRB_ENABLE_RESIDUAL_COUNT asks for it and one is known.
// clang-format off
const std::tuple<FakeAnswer, uint32_t, uint8_t, uint32_t> kOutcomes[] = {
    {{.data = kFull}, 0x01000000, HASTAT_OK, 0},
    {{.data = kData, .resid = 822}, 0x01000000, HASTAT_OK, 822},  // a short read
    {{.resid = 9000}, 0x01000000, HASTAT_OK, kAll},  // a count past the request
    {{.status = 0x04}, 0x01000000, HASTAT_OK, 0},  // CONDITION MET
    {{.status = STATUS_BUSY}, 0x04000000, HASTAT_OK, kAll},
    {check(fixed_sense(0x08, 0x00, 0x05), {}, kAll), 0x04080005, HASTAT_OK, kAll},  // end of data
    {check(fixed_sense(0x4D, 0x00, 0x02)), 0x044D0002, HASTAT_OK, 0},  // end of medium
    {check(fixed_sense(0x07, 0x27, 0x00)), 0x04072700, HASTAT_OK, 0},  // write protected
    // INFORMATION of an unreadable frame: its block address, no residue
    {check(fixed_sense(0x03, 0x11, 0x00, 1234), {}, kAll), 0x04031100, HASTAT_OK, kAll},
    {check(fixed_sense(0x20, 0, 0, 822), kData), 0x04200000, HASTAT_OK, 822},  // short block
    {check(fixed_sense(0x20, 0, 0, -100), kFull), 0x04200000, HASTAT_OK, 0},  // longer block
    {check(fixed_sense(0x20, 0, 0, 9000)), 0x04200000, HASTAT_OK, kAll},  // past the request
    {check(kDescriptorSense, kData), 0x04680005, HASTAT_OK, 822},
    {{.status = kCheck}, 0x04000000, HASTAT_REQUEST_SENSE_FAILED, kAll},  // no sense at all
    {{.host_status = 0x01}, 0x82000000, HASTAT_SEL_TO, kAll},  // DID_NO_CONNECT
    {{.host_status = 0x02}, 0x04000000, HASTAT_TIMEOUT, kAll},  // DID_BUS_BUSY
    {{.host_status = 0x03}, 0x02000000, HASTAT_COMMAND_TIMEOUT, kAll},  // DID_TIME_OUT
    {check(fixed_sense(3, 0x11, 0), {}, 0, 0x03), 0x02000000, HASTAT_COMMAND_TIMEOUT, kAll},
    {{.host_status = 0x04}, 0x82000000, HASTAT_SEL_TO, kAll},  // DID_BAD_TARGET
    {{.host_status = 0x05}, 0x02000000, HASTAT_OK, kAll},  // DID_ABORT
    {{.host_status = 0x06}, 0x04000000, HASTAT_PARITY_ERROR, kAll},  // DID_PARITY
    {{.host_status = 0x07}, 0x04000000, HASTAT_PHASE_ERR, kAll},  // DID_ERROR
    {{.host_status = 0x08}, 0x04000000, HASTAT_BUS_RESET, kAll},  // DID_RESET
    {check(fixed_sense(6, 0x29, 0), {}, 0, 0x08), 0x04062900, HASTAT_OK, 0},  // the drive tells more
    {{.host_status = 0x0B}, 0x04000000, HASTAT_PHASE_ERR, kAll},  // DID_SOFT_ERROR: unknown here
    {{.host_status = 0x0E}, 0x04000000, HASTAT_BUS_FREE, kAll},  // DID_TRANSPORT_DISRUPTED
    {{.host_status = 0x0F}, 0x04000000, HASTAT_BUS_FREE, kAll},  // DID_TRANSPORT_FAILFAST
    {{.driver_status = 0x04}, 0x04000000, HASTAT_PHASE_ERR, kAll},  // DRIVER_ERROR
    {{.driver_status = 0x06}, 0x02000000, HASTAT_COMMAND_TIMEOUT, kAll},  // DRIVER_TIMEOUT
    {{.ioctl_errno = ETIMEDOUT}, 0x02000000, HASTAT_COMMAND_TIMEOUT, kAll},
    {{.ioctl_errno = EINTR}, 0x02000000, HASTAT_OK, kAll},
    {{.ioctl_errno = ENOMEM}, 0xE9000000, HASTAT_OK, kAll},
    {{.ioctl_errno = EBUSY}, 0xE5000000, HASTAT_OK, kAll},
    {{.ioctl_errno = EINVAL}, 0xE0000000, HASTAT_OK, kAll},
    {{.ioctl_errno = EIO}, 0x04000000, HASTAT_PHASE_ERR, kAll},
};
// clang-format on

// The buffer holds what the drive sent and, after it, what the caller prepared; the
// target status always reaches the caller; every request signals its event once.
TEST_F(SgRequest, EveryKernelOutcomeReachesTheCallerAsAspiStatus) {
    for (const auto& row : kOutcomes) {
        const auto& [answer, scsi_status, ha_stat, buf_len] = row;
        tape().answer = answer;
        buffer.assign(kFrameBytes, 0);
        SRB_ExecSCSICmd srb = read_frame();
        srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
        uint32_t returned = send(&srb);
        Bytes expected = answer.data;
        expected.resize(kFrameBytes, 0);
        EXPECT_EQ(std::tuple(returned, scsi_status_of(srb), int{srb.SRB_HaStat},
                             int{srb.SRB_TargStat}, srb.SRB_BufLen, signals(), buffer),
                  std::tuple(scsi_status >> 24, scsi_status, int{ha_stat}, int{answer.status},
                             buf_len, uint64_t{1}, expected))
            << &row - kOutcomes;
    }
    EXPECT_EQ(1, tape().opens);
}

TEST_F(SgRequest, DeviceThatVanishesAnswersNoDevice) {
    tape().answer.ioctl_errno = ENODEV;
    SRB_ExecSCSICmd srb = read_frame();
    EXPECT_EQ(SS_NO_DEVICE, send(&srb));
    EXPECT_EQ(1, tape().closes);
    tape().open_errno = ENXIO;  // the next request finds the node gone as well
    EXPECT_EQ(SS_NO_DEVICE, send(&srb));
    EXPECT_EQ(1u, tape().requests.size());
    tape().open_errno = 0;  // and back again
    tape().answer = FakeAnswer{};
    EXPECT_EQ(SS_COMP, send(&srb));
    EXPECT_EQ(2, tape().opens);
    EXPECT_EQ("", diagnostics());
}

TEST_F(SgRequest, PermissionProblemIsExplainedOnce) {
    tape().open_errno = EACCES;
    SRB_ExecSCSICmd srb = read_frame();
    EXPECT_EQ(SS_ERR, send(&srb));
    EXPECT_EQ(SS_ERR, send(&srb));
    EXPECT_TRUE(tape().requests.empty());
    EXPECT_EQ(
        "tervano: cannot open /dev/sg1 (adapter:target 0:4, ARCHIVE Python 25601-XXX): "
        "Permission denied\n"
        "tervano: members of group \"tape\" may use it: \"sudo usermod -aG tape $USER\", then "
        "log in again,\n"
        "tervano: or give the drive a udev rule (see linux-drives.md)\n",
        diagnostics());

    // a node only root may use, or one that every disk shares: a udev rule is the way
    for (const char* group : {"root", "disk", ""}) {
        sg_support_info(&provider);
        tape().rw_group = group;
        size_t before = diagnostics().size();
        EXPECT_EQ(SS_ERR, send(&srb));
        EXPECT_NE(std::string::npos,
                  diagnostics().find("tervano: give your user read-write access", before))
            << group;
    }
}

TEST_F(SgRequest, RefusedRequestsAreCompletedUnsent) {
    SRB_ExecSCSICmd srb = read_frame();
    srb.SRB_Target = 5;
    EXPECT_EQ(SS_NO_DEVICE, send(&srb));
    EXPECT_EQ(0x82000000u, scsi_status_of(srb));
    srb = read_frame();
    srb.SRB_Flags |= SRB_DIR_OUT;  // data need exactly one direction
    EXPECT_EQ(SS_INVALID_SRB, send(&srb));
    srb = read_frame();
    srb.SRB_CDBLen = 5;  // no SCSI command is shorter than 6 bytes
    EXPECT_EQ(SS_INVALID_SRB, send(&srb));
    tape().open_errno = ENOENT;  // a node removed since the devices were found
    EXPECT_EQ(SS_NO_DEVICE, send(&(srb = read_frame())));
    EXPECT_EQ(4u, signals());
    EXPECT_TRUE(tape().requests.empty());
}

}  // namespace
