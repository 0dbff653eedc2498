#include "sg/sg_request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/aspi_srb.h"
#include "sg/sg_provider.h"
#include "unit/sg/fake_kernel.h"

namespace {

constexpr uint32_t kFrameBytes = 5822;

// Fixed-format sense: byte 2 key and flags, 3-6 INFORMATION (VALID in byte 0 when set),
// 7 additional length, 12 ASC, 13 ASCQ.
std::vector<uint8_t> fixed_sense(uint8_t byte2, uint8_t asc, uint8_t ascq, uint32_t info = 0) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = info ? 0xF0 : 0x70;
    sense[2] = byte2;
    for (int i = 0; i < 4; ++i) sense[3 + i] = uint8_t(info >> (24 - 8 * i));
    sense[7] = 0x0A;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
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
    FakeDevice& tape() { return kernel.devices[0]; }

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
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kFrameBytes, 0);
};

TEST_F(SgRequest, CarriesAFrameEachWayAndSignalsTheEvent) {
    for (uint32_t i = 0; i < kFrameBytes; ++i) tape().answer.data.push_back(uint8_t(i * 7));
    SRB_ExecSCSICmd srb = read_frame();
    EXPECT_EQ(SS_COMP, send(&srb));
    EXPECT_EQ(0x01000000u, scsi_status_of(srb));
    EXPECT_EQ(tape().answer.data, buffer);
    EXPECT_EQ(1u, signals());
    const sg_io_hdr_t& io = tape().requests[0];
    EXPECT_EQ(SG_DXFER_FROM_DEV, io.dxfer_direction);
    EXPECT_EQ(kFrameBytes, io.dxfer_len);
    EXPECT_EQ(kSgDefaultTimeoutMs, io.timeout);
    EXPECT_EQ((std::vector<uint8_t>{0x08, 0x00, 0x00, 0x16, 0xBE, 0x00}), tape().cdbs[0]);
    EXPECT_EQ(O_RDWR | O_NONBLOCK, tape().open_flags & (O_ACCMODE | O_NONBLOCK));

    // WRITE(6) with the caller's timeout, on the device still open
    srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_OUT;
    aspi_set_timeout_ms(&srb, 25000);
    EXPECT_EQ(SS_COMP, send(&srb));
    EXPECT_EQ(SG_DXFER_TO_DEV, tape().requests[1].dxfer_direction);
    EXPECT_EQ(25000u, tape().requests[1].timeout);
    EXPECT_EQ(1, tape().opens);
}

TEST_F(SgRequest, CheckConditionGivesTheStatusTheProgramExpects) {
    struct Case {
        const char* what;
        std::vector<uint8_t> sense;
        uint32_t scsi_status;
        uint32_t residue;  // the driver's residual count says 0 throughout
    };
    const Case cases[] = {
        {"end of data: BLANK CHECK", fixed_sense(0x08, 0x00, 0x05), 0x04080005, 0},
        {"write protected: DATA PROTECT", fixed_sense(0x07, 0x27, 0x00), 0x04072700, 0},
        {"unreadable frame: MEDIUM ERROR", fixed_sense(0x03, 0x11, 0x00), 0x04031100, 0},
        {"short block: ILI, 822 bytes missing", fixed_sense(0x20, 0, 0, 822), 0x04200000, 822},
        // 72h, BLANK CHECK 00h/05h; information descriptor (VALID, 822); stream commands
        // descriptor with EOM and ILI
        {"descriptor sense",
         {0x72, 0x08, 0x00, 0x05, 0, 0, 0,    0x10, 0x00, 0x0A, 0x80, 0,
          0,    0,    0,    0,    0, 0, 0x03, 0x36, 0x04, 0x02, 0x00, 0x60},
         0x04680005,
         822},
    };
    tape().answer.status = STATUS_CHKCOND;
    tape().answer.data.assign(5000, 0x5A);
    for (const Case& c : cases) {
        tape().answer.sense = c.sense;
        SRB_ExecSCSICmd srb = read_frame();
        srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
        EXPECT_EQ(SS_ERR, send(&srb)) << c.what;
        EXPECT_EQ(c.scsi_status, scsi_status_of(srb)) << c.what;
        EXPECT_EQ(c.residue, srb.SRB_BufLen) << c.what;
        EXPECT_EQ(STATUS_CHKCOND, srb.SRB_TargStat) << c.what;
        EXPECT_EQ(1u, signals()) << c.what;
    }
    // The short block leaves the rest of the buffer as the caller prepared it.
    std::vector<uint8_t> expected(kFrameBytes, 0);
    std::fill(expected.begin(), expected.begin() + 5000, 0x5A);
    EXPECT_EQ(expected, buffer);

    tape().answer.sense.clear();  // and a drive that gave no sense at all
    SRB_ExecSCSICmd srb = read_frame();
    EXPECT_EQ(SS_ERR, send(&srb));
    EXPECT_EQ(HASTAT_REQUEST_SENSE_FAILED, srb.SRB_HaStat);
}

TEST_F(SgRequest, HostFailuresAndTimeoutsMapOntoAspi) {
    struct Case {
        const char* what;
        FakeAnswer answer;  // ioctl errno, SCSI status, host byte, driver byte
        uint8_t srb_status, ha_stat;
    };
    const Case cases[] = {
        {"DID_NO_CONNECT", {0, 0, 0x01, 0}, SS_NO_DEVICE, HASTAT_SEL_TO},
        {"DID_TIME_OUT", {0, 0, 0x03, 0}, SS_ABORTED, HASTAT_COMMAND_TIMEOUT},
        {"DRIVER_TIMEOUT", {0, 0, 0, 0x06}, SS_ABORTED, HASTAT_COMMAND_TIMEOUT},
        {"ioctl ETIMEDOUT", {ETIMEDOUT, 0, 0, 0}, SS_ABORTED, HASTAT_COMMAND_TIMEOUT},
        {"DID_RESET", {0, 0, 0x08, 0}, SS_ERR, HASTAT_BUS_RESET},
        {"DID_ERROR", {0, 0, 0x07, 0}, SS_ERR, HASTAT_PHASE_ERR},
        {"DRIVER_ERROR", {0, 0, 0, 0x04}, SS_ERR, HASTAT_PHASE_ERR},
        {"BUSY", {0, STATUS_BUSY, 0, 0}, SS_ERR, HASTAT_OK},
        {"CONDITION MET", {0, 0x04, 0, 0}, SS_COMP, HASTAT_OK},
        {"ioctl EINTR", {EINTR, 0, 0, 0}, SS_ABORTED, HASTAT_OK},
    };
    for (const Case& c : cases) {
        tape().answer = c.answer;
        SRB_ExecSCSICmd srb = read_frame();
        EXPECT_EQ(c.srb_status, send(&srb)) << c.what;
        EXPECT_EQ(c.ha_stat, srb.SRB_HaStat) << c.what;
        EXPECT_EQ(uint32_t{c.srb_status} << 24, scsi_status_of(srb)) << c.what;
    }
    EXPECT_EQ(10u, signals());
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
    EXPECT_EQ(2u, signals());
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
    EXPECT_EQ(2u, signals());
    EXPECT_EQ(0, tape().opens);
}

}  // namespace
