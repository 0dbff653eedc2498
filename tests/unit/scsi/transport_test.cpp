// ASPI_Call against the fake drive installed through the transport's test seam: the
// request as the provider sees it, status packing, data in both directions, synchronous,
// threaded and late completion, timeouts and refused requests.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "fake_drive.h"
#include "platform/event.h"
#include "scsi/aspi_transport.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const Bytes kRead = {0x08, 0x00, 0x00, 0x00, 0x40, 0x00};

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_drive_install(&drive);
        drive.completion = Completion::AtOnce;
    }
    void TearDown() override { fake_drive_remove(); }
    ScsiStatus call(const Bytes& cdb, uint8_t* buffer, uint32_t length, int data_out,
                    uint32_t timeout_ms = 5000) {
        return ASPI_Call(1, 4, 0, cdb.data(), static_cast<int>(cdb.size()), buffer, length,
                         data_out, timeout_ms);
    }
    FakeDrive drive;
};

TEST_F(TransportTest, FillsThePublishedRequestForEachDirection) {
    uint8_t buffer[64];
    ASSERT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    const SRB_ExecSCSICmd& in = drive.as_sent;
    EXPECT_EQ(in.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(in.SRB_Status, SS_PENDING);
    EXPECT_EQ(std::make_tuple(in.SRB_HaId, in.SRB_Target, in.SRB_Lun), std::make_tuple(1, 4, 0));
    EXPECT_EQ(in.SRB_Flags, 0x48);
    EXPECT_EQ(in.SRB_BufLen, 64u);
    EXPECT_NE(in.SRB_BufPointer, nullptr);
    EXPECT_NE(in.SRB_BufPointer, buffer) << "the provider must get the transport's buffer";
    EXPECT_EQ(in.SRB_SenseLen, 14);
    EXPECT_EQ(drive.commands[0].cdb, kRead);
    EXPECT_EQ(aspi_timeout_ms(&in), 5000u) << "the timeout travels for synchronous providers";
    EXPECT_GE(fcntl(aspi_postproc_to_event(in.SRB_PostProc), F_GETFD), 0) << "an open event";

    uint8_t out[3] = {7, 8, 9};
    ASSERT_EQ(call({0x0A, 0, 0, 0, 3, 0}, out, sizeof out, 1), 0x01000000u);
    EXPECT_EQ(drive.as_sent.SRB_Flags, 0x50);
    EXPECT_EQ(drive.commands[1].data_out, Bytes({7, 8, 9}));
    EXPECT_EQ(Bytes(out, out + 3), Bytes({7, 8, 9}));

    ASSERT_EQ(call({0, 0, 0, 0, 0, 0}, nullptr, 0, 0), 0x01000000u);
    EXPECT_EQ(drive.as_sent.SRB_Flags, 0x48);
    EXPECT_EQ(drive.as_sent.SRB_BufLen, 0u);
    EXPECT_EQ(drive.as_sent.SRB_BufPointer, nullptr);
}

TEST_F(TransportTest, PacksStatusAndSenseBytes) {
    const std::pair<DriveReply, ScsiStatus> cases[] = {
        {reply_check(0x03, 0x11, 0x00), 0x04031100u},
        {reply_check(0x40 | 0x0D, 0x00, 0x02), 0x044D0002u},  // end-of-medium flag kept
        {reply_status(SS_NO_DEVICE), 0x82000000u},
        {reply_ok(), 0x01000000u},  // no sense left over from the earlier requests
    };
    for (const auto& [reply, status] : cases) {
        always_reply(&drive, reply);
        EXPECT_EQ(call(kRead, nullptr, 0, 0), status);
    }
}

TEST_F(TransportTest, ShortReadLeavesZeros) {
    // The second, shorter answer reuses the request buffer that still holds the first.
    for (size_t returned : {10, 2}) {
        uint8_t buffer[64];
        memset(buffer, 0xCC, sizeof buffer);
        always_reply(&drive, reply_ok(Bytes(returned, 0x55)));
        ASSERT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
        for (size_t i = 0; i < sizeof buffer; i++) ASSERT_EQ(buffer[i], i < returned ? 0x55 : 0);
    }
}

TEST_F(TransportTest, SynchronousCompletionIsNotWaitedFor) {
    for (Completion at_once : {Completion::AtOnce, Completion::AtOnceUnsignalled}) {
        drive.completion = at_once;
        EXPECT_EQ(call(kRead, nullptr, 0, 0), 0x01000000u);
    }
    EXPECT_EQ(drive.waits, 0);
}

TEST_F(TransportTest, CompletionFromAnotherThread) {
    // The first request completes before SendASPI32Command returns, but its provider
    // signals the event only afterwards: that signal is no completion of the next one.
    drive.completion = Completion::AtOnceUnsignalled;
    ASSERT_EQ(call(kRead, nullptr, 0, 0), 0x01000000u);
    platform_event_signal(aspi_postproc_to_event(drive.as_sent.SRB_PostProc));

    drive.completion = Completion::FromThread;
    always_reply(&drive, reply_ok({1, 2, 3, 4}));
    uint8_t buffer[4] = {};
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    drive.worker.join();
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({1, 2, 3, 4}));
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
    complete_request(late, reply_ok(Bytes(256, 0x77)), true);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0x00);

    // The next command gets a request of its own and is not confused by that signal.
    drive.completion = Completion::AtOnce;
    always_reply(&drive, reply_ok({5}));
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    EXPECT_NE(drive.live, late);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[1], 0);

    // Both this timeout and one the provider bounds itself (told in the host status) count.
    always_reply(&drive, DriveReply{SS_ABORTED, 0, 0, 0, {}, HASTAT_COMMAND_TIMEOUT});
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0, 30), 0x02000000u);
    EXPECT_EQ(std::make_pair(aspi_unanswered_requests(), aspi_last_unanswered_timeout_ms()),
              std::make_pair(unanswered + 2, 30u));
}

TEST_F(TransportTest, ProviderThatRefusesInItsReturnValueIsNotWaitedFor) {
    aspi_set_provider_for_test([]() -> uint32_t { return 0x0101; },
                               [](void*) -> uint32_t { return SS_INVALID_HA; });
    const int parked_before = aspi_parked_requests();
    EXPECT_EQ(call(kRead, nullptr, 0, 0, 50), 0x81000000u);
    EXPECT_EQ(aspi_parked_requests(), parked_before);
}

TEST_F(TransportTest, EventThatCannotBeCreatedSendsNothing) {
    static const EventOps no_events{[] { return -1; }, nullptr};
    platform_set_event_ops(&no_events);
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0xE9000000u);
    EXPECT_TRUE(drive.commands.empty());
}

TEST_F(TransportTest, RefusesRequestsThatCannotBeSent) {
    uint8_t buffer[8];
    EXPECT_EQ(call(Bytes(17, 0), nullptr, 0, 0), 0xE0000000u);
    EXPECT_EQ(ASPI_Call(1, 4, 0, kRead.data(), 0, nullptr, 0, 0, 100), 0xE0000000u);
    EXPECT_EQ(call(kRead, nullptr, 8, 0), 0xE0000000u);
    EXPECT_EQ(call(kRead, buffer, 0x7FFFFFFFu, 0), 0xE6000000u);  // nothing zero-filled either
    EXPECT_TRUE(drive.commands.empty());

    aspi_set_provider_for_test(nullptr, nullptr);
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0xE3000000u);
}

}  // namespace
