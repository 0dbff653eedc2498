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
    return {uint8_t(info ? 0xF0 : 0x70),
            0,
            byte2,
            uint8_t(info >> 24),
            uint8_t(info >> 16),
            uint8_t(info >> 8),
            uint8_t(info),
            0x0A,
            0,
            0,
            0,
            0,
            asc,
            ascq,
            0,
            0,
            0,
            0};
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
    SRB_ExecSCSICmd read_frame(uint8_t* buffer) {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
        srb.SRB_Target = 4;
        srb.SRB_BufLen = kFrameBytes;
        srb.SRB_BufPointer = buffer;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = 6;
        const uint8_t cdb[6] = {0x08, 0x00, 0x00, 0x16, 0xBE, 0x00};
        memcpy(srb.CDBByte, cdb, sizeof cdb);
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
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
    EXPECT_EQ(SS_COMP, send(&srb));
    EXPECT_EQ(0x01000000u, scsi_status_of(srb));
    EXPECT_EQ(tape().answer.data, buffer);
    EXPECT_EQ(1u, signals());
    const sg_io_hdr_t& io = tape().requests[0];
    EXPECT_EQ(SG_DXFER_FROM_DEV, io.dxfer_direction);
    EXPECT_EQ(kFrameBytes, io.dxfer_len);
    EXPECT_GE(io.mx_sb_len, 32);
    EXPECT_EQ(kSgDefaultTimeoutMs, io.timeout);
    EXPECT_EQ((std::vector<uint8_t>{0x08, 0x00, 0x00, 0x16, 0xBE, 0x00}), tape().cdbs[0]);
    EXPECT_EQ(O_RDWR | O_NONBLOCK, tape().open_flags & (O_ACCMODE | O_NONBLOCK));

    // WRITE(6) with the caller's timeout, on the device still open
    srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_OUT;
    srb.CDBByte[0] = 0x0A;
    aspi_set_timeout_ms(&srb, 25000);
    EXPECT_EQ(SS_COMP, send(&srb));
    EXPECT_EQ(SG_DXFER_TO_DEV, tape().requests[1].dxfer_direction);
    EXPECT_EQ(25000u, tape().requests[1].timeout);
    EXPECT_EQ(1, tape().opens);

    // TEST UNIT READY: the direction-in flag and no data
    srb = read_frame(nullptr);
    srb.SRB_BufLen = 0;
    EXPECT_EQ(SS_COMP, send(&srb));
    EXPECT_EQ(SG_DXFER_NONE, tape().requests[2].dxfer_direction);
}

TEST_F(SgRequest, ShortReadLeavesTheRestOfTheBufferAlone) {
    // a 5000-byte block: ILI with 822 missing bytes in INFORMATION; the driver's residual
    // count says 0
    tape().answer.data.assign(5000, 0x5A);
    tape().answer.status = STATUS_CHKCOND;
    tape().answer.sense = fixed_sense(0x20, 0x00, 0x00, 822);
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
    srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    EXPECT_EQ(SS_ERR, send(&srb));
    EXPECT_EQ(0x04200000u, scsi_status_of(srb));
    EXPECT_EQ(822u, srb.SRB_BufLen);
    std::vector<uint8_t> expected(kFrameBytes, 0);
    std::fill(expected.begin(), expected.begin() + 5000, 0x5A);
    EXPECT_EQ(expected, buffer);
}

TEST_F(SgRequest, CheckConditionGivesTheStatusTheProgramExpects) {
    struct Case {
        const char* what;
        uint8_t byte2, asc, ascq;
        uint32_t scsi_status;
    };
    const Case cases[] = {
        {"end of data: BLANK CHECK", 0x08, 0x00, 0x05, 0x04080005},
        {"write protected: DATA PROTECT", 0x07, 0x27, 0x00, 0x04072700},
        {"unreadable frame: MEDIUM ERROR", 0x03, 0x11, 0x00, 0x04031100},
        {"end of medium: VOLUME OVERFLOW", 0x4D, 0x00, 0x02, 0x044D0002},
    };
    for (const Case& c : cases) {
        tape().answer.status = STATUS_CHKCOND;
        tape().answer.sense = fixed_sense(c.byte2, c.asc, c.ascq);
        SRB_ExecSCSICmd srb = read_frame(buffer.data());
        EXPECT_EQ(SS_ERR, send(&srb)) << c.what;
        EXPECT_EQ(c.scsi_status, scsi_status_of(srb)) << c.what;
        EXPECT_EQ(STATUS_CHKCOND, srb.SRB_TargStat) << c.what;
        EXPECT_EQ(0, memcmp(tape().answer.sense.data(), srb.SenseArea, SENSE_LEN)) << c.what;
        EXPECT_EQ(0, srb.SenseArea[14] | srb.SenseArea[15]) << c.what;  // 14 bytes asked
        EXPECT_EQ(1u, signals()) << c.what;
    }
    tape().answer.sense.clear();  // and a drive that gave no sense at all
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
    EXPECT_EQ(SS_ERR, send(&srb));
    EXPECT_EQ(HASTAT_REQUEST_SENSE_FAILED, srb.SRB_HaStat);
}

TEST_F(SgRequest, DescriptorSenseArrivesInFixedFormat) {
    // 72h, BLANK CHECK 00h/05h; information descriptor (VALID, 822); stream commands
    // descriptor with EOM and ILI
    tape().answer.sense = {0x72, 0x08, 0x00, 0x05, 0, 0, 0,    0x10, 0x00, 0x0A, 0x80, 0,
                           0,    0,    0,    0,    0, 0, 0x03, 0x36, 0x04, 0x02, 0x00, 0x60};
    tape().answer.status = STATUS_CHKCOND;
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
    srb.SRB_Flags |= SRB_ENABLE_RESIDUAL_COUNT;
    EXPECT_EQ(SS_ERR, send(&srb));
    EXPECT_EQ(0x04680005u, scsi_status_of(srb));
    EXPECT_EQ(822u, srb.SRB_BufLen);

    // a negative residue (the block was longer than asked) keeps its sign in 32 bits
    const uint8_t longer[] = {0x72, 0, 0,    0,    0,    0,    0,    0x0C, 0x00, 0x0A,
                              0x80, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF6};
    uint8_t fixed[32] = {};
    ASSERT_EQ(18, sg_fixed_sense(longer, sizeof longer, fixed, sizeof fixed));
    EXPECT_EQ(0, memcmp(fixed, "\xF0\x00\x00\xFF\xFF\xFF\xF6", 7));
}

TEST_F(SgRequest, HostFailuresAndTimeoutsMapOntoAspi) {
    struct Case {
        const char* what;
        uint16_t host, driver;
        uint8_t status;
        int ioctl_errno;
        uint8_t srb_status, ha_stat;
    };
    const Case cases[] = {
        {"DID_NO_CONNECT", 0x01, 0, 0, 0, SS_NO_DEVICE, HASTAT_SEL_TO},
        {"DID_BAD_TARGET", 0x04, 0, 0, 0, SS_NO_DEVICE, HASTAT_SEL_TO},
        {"DID_TIME_OUT", 0x03, 0, 0, 0, SS_ABORTED, HASTAT_COMMAND_TIMEOUT},
        {"DRIVER_TIMEOUT", 0, 0x06, 0, 0, SS_ABORTED, HASTAT_COMMAND_TIMEOUT},
        {"ioctl ETIMEDOUT", 0, 0, 0, ETIMEDOUT, SS_ABORTED, HASTAT_COMMAND_TIMEOUT},
        {"DID_RESET", 0x08, 0, 0, 0, SS_ERR, HASTAT_BUS_RESET},
        {"DID_ERROR", 0x07, 0, 0, 0, SS_ERR, HASTAT_PHASE_ERR},
        {"DRIVER_ERROR", 0, 0x04, 0, 0, SS_ERR, HASTAT_PHASE_ERR},
        {"BUSY", 0, 0, STATUS_BUSY, 0, SS_ERR, HASTAT_OK},
        {"CONDITION MET", 0, 0, 0x04, 0, SS_COMP, HASTAT_OK},
        {"ioctl EINTR", 0, 0, 0, EINTR, SS_ABORTED, HASTAT_OK},
    };
    for (const Case& c : cases) {
        tape().answer = FakeAnswer{};
        tape().answer.host_status = c.host;
        tape().answer.driver_status = c.driver;
        tape().answer.status = c.status;
        tape().answer.ioctl_errno = c.ioctl_errno;
        SRB_ExecSCSICmd srb = read_frame(buffer.data());
        EXPECT_EQ(c.srb_status, send(&srb)) << c.what;
        EXPECT_EQ(c.ha_stat, srb.SRB_HaStat) << c.what;
        EXPECT_EQ(uint32_t{c.srb_status} << 24, scsi_status_of(srb)) << c.what;
    }
    EXPECT_EQ(11u, signals());
    EXPECT_EQ(1, tape().opens);
}

TEST_F(SgRequest, DeviceThatVanishesAnswersNoDevice) {
    tape().answer.ioctl_errno = ENODEV;
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
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
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
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
    SRB_ExecSCSICmd srb = read_frame(buffer.data());
    srb.SRB_Target = 5;
    EXPECT_EQ(SS_NO_DEVICE, send(&srb));
    EXPECT_EQ(0x82000000u, scsi_status_of(srb));
    srb = read_frame(buffer.data());
    srb.SRB_CDBLen = 17;
    EXPECT_EQ(SS_INVALID_SRB, send(&srb));
    srb = read_frame(nullptr);
    EXPECT_EQ(SS_INVALID_SRB, send(&srb));
    srb = read_frame(buffer.data());
    srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN | SRB_DIR_OUT;
    EXPECT_EQ(SS_INVALID_SRB, send(&srb));
    EXPECT_EQ(SS_INVALID_SRB, send(nullptr));
    EXPECT_EQ(4u, signals());
    EXPECT_EQ(0, tape().opens);
}

TEST_F(SgRequest, OtherAspiCommandsAreAnsweredOrRefused) {
    SRB_HAInquiry inquiry{};
    inquiry.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(SS_COMP, send(&inquiry));
    EXPECT_EQ(1, inquiry.HA_Count);
    EXPECT_EQ(0, memcmp("scsi2:0         ", inquiry.HA_Identifier, 16));
    inquiry.SRB_HaId = 1;
    EXPECT_EQ(SS_INVALID_HA, send(&inquiry));

    SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_Target = 4;
    EXPECT_EQ(SS_COMP, send(&type));
    EXPECT_EQ(1, type.SRB_DeviceType);
    type.SRB_Target = 3;
    EXPECT_EQ(SS_NO_DEVICE, send(&type));

    SRB_BusDeviceReset reset{};
    reset.SRB_Cmd = SC_RESET_DEV;
    reset.SRB_Target = 4;
    EXPECT_EQ(SS_INVALID_CMD, send(&reset));
    SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    EXPECT_EQ(SS_ABORT_FAIL, send(&abort));
    EXPECT_EQ(0, tape().opens);
}

}  // namespace
