// ASPI_Call against the fake drive installed through the transport's test seam: the
// request as the provider sees it, status packing, data in both directions, synchronous,
// threaded and late completion, timeouts and refused requests.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "fake_drive.h"
#include "platform/event.h"
#include "scsi/aspi_transport.h"

namespace {

const Bytes kRead = {0x08, 0x00, 0x00, 0x00, 0x40, 0x00};

class TransportTest : public DriveTest {
protected:
    ScsiStatus call(const Bytes& cdb, uint8_t* buffer, uint32_t length, int data_out,
                    uint32_t timeout_ms = 60000) {
        return ASPI_Call(1, 4, 0, cdb.data(), static_cast<int>(cdb.size()), buffer, length,
                         data_out, timeout_ms);
    }
};

// The request as the provider found it, for data in, data out and no data: buffers are the
// transport's own, the event is open, and the command and data out are as the caller gave.
TEST_F(TransportTest, FillsThePublishedRequestForEachDirection) {
    uint8_t in[64], out[3] = {7, 8, 9};
    const std::tuple<Bytes, uint8_t*, uint32_t, int, uint32_t, uint8_t, Bytes> cases[] = {
        {kRead, in, 64, 0, 5000, 0x48, {}},
        {{0x0A, 0, 0, 0, 3, 0}, out, 3, 1, 60000, 0x50, {7, 8, 9}},
        {Bytes(6, 0), nullptr, 0, 0, 60000, 0x48, {}},
    };
    for (const auto& [cdb, buffer, length, data_out, timeout, flags, carried] : cases) {
        ASSERT_EQ(call(cdb, buffer, length, data_out, timeout), 0x01000000u);
        const SRB_ExecSCSICmd& s = drive.as_sent;
        EXPECT_EQ((std::vector<uint32_t>{
                      s.SRB_Cmd, s.SRB_Status, s.SRB_HaId, s.SRB_Target, s.SRB_Lun, s.SRB_Flags,
                      s.SRB_BufLen, s.SRB_CDBLen, s.SRB_SenseLen, aspi_timeout_ms(&s),
                      !s.SRB_BufPointer, s.SRB_BufPointer == buffer,
                      fcntl(aspi_postproc_to_event(s.SRB_PostProc), F_GETFD) >= 0}),
                  (std::vector<uint32_t>{SC_EXEC_SCSI_CMD, SS_PENDING, 1, 4, 0, flags, length, 6,
                                         14, timeout, !buffer, !buffer, true}));
        EXPECT_EQ(std::tuple(drive.commands.back().cdb, drive.commands.back().data_out),
                  std::tuple(cdb, carried));
    }
    EXPECT_EQ(Bytes(out, out + 3), Bytes({7, 8, 9}));
}

// However the provider completes (when waited for, before SendASPI32Command returns with
// or without signalling, or later from another thread), the caller gets the status with
// the sense bytes, and the data followed by zeros where the drive returned fewer; nothing
// is left over from an earlier request, not even a signal; a request that completed at
// once is not waited for.
TEST_F(TransportTest, EveryWayOfCompletingGivesTheStatusAndTheData) {
    const std::pair<DriveReply, ScsiStatus> replies[] = {
        {{.data = Bytes(10, 0x55)}, 0x01000000u},
        {reply_check(0x03, 0x11, 0x00), 0x04031100u},
        {reply_check(0x40 | 0x0D, 0x00, 0x02), 0x044D0002u},  // end-of-medium flag kept
        {{.status = SS_NO_DEVICE}, 0x82000000u},
    };
    for (Completion way : {Completion::AtOnce, Completion::AtOnceUnsignalled, Completion::AtWait,
                           Completion::FromThread}) {
        drive.completion = way;
        for (const auto& [reply, status] : replies) {
            drive.always(reply);
            Bytes buffer(64, 0xCC), expected = reply.data;
            expected.resize(64, 0);
            EXPECT_EQ(call(kRead, buffer.data(), 64, 0), status) << int(way);
            if (drive.worker.joinable()) drive.worker.join();
            EXPECT_EQ(buffer, expected) << int(way);
        }
        if (way == Completion::AtOnceUnsignalled) {
            EXPECT_EQ(drive.waits, 0);
            // the provider signals after all: a stale signal for the next request
            platform_event_signal(aspi_postproc_to_event(drive.as_sent.SRB_PostProc));
        }
    }
}

TEST_F(TransportTest, TimedOutRequestStaysParkedForItsProvider) {
    drive.completion = Completion::Never;
    uint8_t buffer[256];
    memset(buffer, 0xCC, sizeof buffer);
    const int parked_before = aspi_parked_requests(), unanswered = aspi_unanswered_requests();
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0, 20), 0x00000000u);
    EXPECT_EQ(aspi_parked_requests(), parked_before + 1);

    // The provider finishes long after the caller has given up: everything it touches
    // must still be there (AddressSanitizer watches), and the caller sees nothing of it.
    SRB_ExecSCSICmd* late = drive.live;
    complete_request(late, {.data = Bytes(256, 0x77)}, true);
    EXPECT_EQ(Bytes(buffer, buffer + 256), Bytes(256, 0));

    // The next command gets a request of its own and is not confused by that signal.
    drive.completion = Completion::AtOnce;
    drive.always({.data = {5}});
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    EXPECT_NE(drive.live, late);
    EXPECT_EQ(Bytes(buffer, buffer + 2), Bytes({5, 0}));

    // Both this timeout and one the provider bounds itself (told in the host status) count.
    drive.always({.status = SS_ABORTED, .host_status = HASTAT_COMMAND_TIMEOUT});
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0, 30), 0x02000000u);
    EXPECT_EQ(std::make_pair(aspi_unanswered_requests(), aspi_last_unanswered_timeout_ms()),
              std::make_pair(unanswered + 2, 30u));
}

// Nothing is sent, and nothing waited for or parked, for a request that cannot be sent,
// that has no provider or no completion event, or that the provider refuses in its
// return value alone.
TEST_F(TransportTest, RequestsThatCannotBeSentAreRefusedAtOnce) {
    uint8_t buffer[8];
    const int parked_before = aspi_parked_requests();
    EXPECT_EQ(call(Bytes(17, 0), nullptr, 0, 0), 0xE0000000u);
    EXPECT_EQ(ASPI_Call(1, 4, 0, kRead.data(), 0, nullptr, 0, 0, 100), 0xE0000000u);
    EXPECT_EQ(call(kRead, nullptr, 8, 0), 0xE0000000u);
    EXPECT_EQ(call(kRead, buffer, 0x7FFFFFFFu, 0), 0xE6000000u);  // nothing zero-filled either
    static const EventOps no_events{[] { return -1; }, nullptr};
    platform_set_event_ops(&no_events);
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0xE9000000u);
    EXPECT_TRUE(drive.commands.empty());

    platform_set_event_ops(nullptr);
    aspi_set_provider_for_test([]() -> uint32_t { return 0x0101; },
                               [](void*) -> uint32_t { return SS_INVALID_HA; });
    EXPECT_EQ(call(kRead, nullptr, 0, 0, 50), 0x81000000u);
    EXPECT_EQ(aspi_parked_requests(), parked_before);
    aspi_set_provider_for_test(nullptr, nullptr);
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0xE3000000u);
}

}  // namespace
