// ASPI_Call against scripted providers installed through the transport's test seam:
// the request as the provider sees it, status packing, data in both directions,
// synchronous, threaded and late completion, timeouts and refused requests.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "fake_drive.h"
#include "platform/event.h"
#include "scsi/aspi_transport.h"

namespace {

enum class Completion { AtOnce, Pending, FromThread };

struct ProviderScript {
    Completion completion = Completion::AtOnce;
    DriveReply reply;
    bool signal_at_once = true;
    int sends = 0;
    SRB_ExecSCSICmd as_sent{};        // the request when it reached the provider
    SRB_ExecSCSICmd* live = nullptr;  // the request itself
    std::vector<uint8_t> data_as_sent;
    std::thread worker;
};

ProviderScript* g_script = nullptr;

uint32_t script_support() {
    return 0x0101;
}

void complete(SRB_ExecSCSICmd* srb, const DriveReply& reply, bool signal) {
    apply_reply(srb, reply);
    if (signal) platform_event_signal(aspi_postproc_to_event(srb->SRB_PostProc));
}

uint32_t script_send(void* request) {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
    ProviderScript& script = *g_script;
    script.sends++;
    script.as_sent = *srb;
    script.live = srb;
    if (srb->SRB_BufPointer) {
        script.data_as_sent.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
    }
    switch (script.completion) {
        case Completion::AtOnce:
            complete(srb, script.reply, script.signal_at_once);
            break;
        case Completion::Pending:
            break;
        case Completion::FromThread:
            script.worker = std::thread([srb, reply = script.reply] {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                complete(srb, reply, true);
            });
            break;
    }
    return SS_PENDING;
}

int g_waits = 0;
const EventOps* g_real_events = nullptr;
int counting_wait(int event, uint32_t timeout_ms) {
    g_waits++;
    return g_real_events->wait(event, timeout_ms);
}
int failing_create() {
    return -1;
}
int real_create() {
    return g_real_events->create();
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = &script;
        aspi_set_provider_for_test(script_support, script_send);
    }
    void TearDown() override {
        if (script.worker.joinable()) script.worker.join();
        aspi_set_provider_for_test(nullptr, nullptr);
        platform_set_event_ops(nullptr);
        g_script = nullptr;
    }
    ScsiStatus call(const std::vector<uint8_t>& cdb, uint8_t* buffer, uint32_t length, int data_out,
                    uint32_t timeout_ms = 5000) {
        return ASPI_Call(1, 4, 0, cdb.data(), static_cast<int>(cdb.size()), buffer, length,
                         data_out, timeout_ms);
    }
    ProviderScript script;
};

const std::vector<uint8_t> kRead = {0x08, 0x00, 0x00, 0x00, 0x40, 0x00};

TEST_F(TransportTest, FillsThePublishedRequestForEachDirection) {
    uint8_t buffer[64];
    ASSERT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    const SRB_ExecSCSICmd& in = script.as_sent;
    EXPECT_EQ(in.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(in.SRB_Status, SS_PENDING);
    EXPECT_EQ(in.SRB_HaId, 1);
    EXPECT_EQ(in.SRB_Flags, 0x48);
    EXPECT_EQ(in.SRB_Target, 4);
    EXPECT_EQ(in.SRB_Lun, 0);
    EXPECT_EQ(in.SRB_BufLen, 64u);
    EXPECT_NE(in.SRB_BufPointer, nullptr);
    EXPECT_NE(in.SRB_BufPointer, buffer) << "the provider must get the transport's buffer";
    EXPECT_EQ(in.SRB_SenseLen, 14);
    EXPECT_EQ(in.SRB_CDBLen, 6);
    EXPECT_EQ(std::vector<uint8_t>(in.CDBByte, in.CDBByte + 16),
              std::vector<uint8_t>({0x08, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(aspi_timeout_ms(&in), 5000u) << "the timeout travels for synchronous providers";
    EXPECT_EQ(in.SRB_HaStat, 0);
    EXPECT_EQ(in.SRB_TargStat, 0);
    for (uint8_t b : in.SRB_Rsvd2) EXPECT_EQ(b, 0);
    for (uint8_t b : in.SenseArea) EXPECT_EQ(b, 0);
    int event = aspi_postproc_to_event(in.SRB_PostProc);
    EXPECT_GE(fcntl(event, F_GETFD), 0) << "SRB_PostProc holds an open event";

    const std::vector<uint8_t> frame_out = {0x0A, 0x00, 0x00, 0x00, 0x03, 0x00};
    uint8_t out[3] = {7, 8, 9};
    ASSERT_EQ(call(frame_out, out, sizeof out, 1), 0x01000000u);
    EXPECT_EQ(script.as_sent.SRB_Flags, 0x50);
    EXPECT_EQ(script.data_as_sent, std::vector<uint8_t>({7, 8, 9}));

    const std::vector<uint8_t> ready = {0, 0, 0, 0, 0, 0};
    ASSERT_EQ(call(ready, nullptr, 0, 0), 0x01000000u);
    EXPECT_EQ(script.as_sent.SRB_Flags, 0x48);
    EXPECT_EQ(script.as_sent.SRB_BufLen, 0u);
    EXPECT_EQ(script.as_sent.SRB_BufPointer, nullptr);

    std::vector<uint8_t> longest(16, 0x11);
    ASSERT_EQ(call(longest, nullptr, 0, 0), 0x01000000u);
    EXPECT_EQ(script.as_sent.SRB_CDBLen, 16);
    EXPECT_EQ(script.as_sent.CDBByte[15], 0x11);
}

TEST_F(TransportTest, PacksStatusAndSenseBytes) {
    script.reply = reply_check(0x03, 0x11, 0x00);
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0x04031100u);

    script.reply = reply_check(0x40 | 0x0D, 0x00, 0x02);  // end-of-medium flag kept
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0x044D0002u);

    script.reply = reply_status(SS_NO_DEVICE);
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0x82000000u);

    // Sense of an earlier request does not leak into the next one.
    script.reply = reply_ok();
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0x01000000u);
}

TEST_F(TransportTest, ShortReadLeavesZerosAndWriteLeavesCallerDataAlone) {
    uint8_t buffer[64];
    memset(buffer, 0xCC, sizeof buffer);
    script.reply = reply_ok(std::vector<uint8_t>(10, 0x55));
    ASSERT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    for (int i = 0; i < 10; i++) EXPECT_EQ(buffer[i], 0x55) << i;
    for (int i = 10; i < 64; i++) EXPECT_EQ(buffer[i], 0x00) << i;

    // The reused request buffer still holds the earlier frame: a shorter answer must not
    // show it.
    memset(buffer, 0xCC, sizeof buffer);
    script.reply = reply_ok(std::vector<uint8_t>(2, 0x66));
    ASSERT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    EXPECT_EQ(buffer[1], 0x66);
    EXPECT_EQ(buffer[2], 0x00);
    EXPECT_EQ(buffer[9], 0x00);

    // A failed read also hands back only what the drive wrote.
    memset(buffer, 0xCC, sizeof buffer);
    script.reply = reply_check(0x03, 0x11, 0x00);
    call(kRead, buffer, sizeof buffer, 0);
    EXPECT_EQ(buffer[0], 0x00);

    uint8_t out[5822];
    for (size_t i = 0; i < sizeof out; i++) out[i] = static_cast<uint8_t>(i * 7);
    uint8_t copy[5822];
    memcpy(copy, out, sizeof out);
    script.reply = reply_ok();
    ASSERT_EQ(call({0x0A, 0, 0, 0x16, 0xBE, 0}, out, sizeof out, 1), 0x01000000u);
    EXPECT_EQ(0, memcmp(out, copy, sizeof out));
    EXPECT_EQ(script.data_as_sent, std::vector<uint8_t>(copy, copy + sizeof copy));
}

TEST_F(TransportTest, SynchronousCompletionIsNotWaitedFor) {
    g_real_events = platform_set_event_ops(nullptr);
    static const EventOps counting{real_create, counting_wait};
    platform_set_event_ops(&counting);
    g_waits = 0;
    for (bool signal : {true, false}) {
        script.signal_at_once = signal;
        EXPECT_EQ(call(kRead, nullptr, 0, 0), 0x01000000u);
    }
    EXPECT_EQ(g_waits, 0);
}

TEST_F(TransportTest, CompletionFromAnotherThread) {
    script.completion = Completion::FromThread;
    script.reply = reply_ok({1, 2, 3, 4});
    uint8_t buffer[4] = {};
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    script.worker.join();
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), std::vector<uint8_t>({1, 2, 3, 4}));
}

TEST_F(TransportTest, LateSignalOfAnEarlierRequestIsNotTakenForCompletion) {
    // The first request completes before SendASPI32Command returns, but its provider
    // signals the event only afterwards, while the transport may already reuse it.
    script.signal_at_once = false;
    ASSERT_EQ(call(kRead, nullptr, 0, 0), 0x01000000u);
    platform_event_signal(aspi_postproc_to_event(script.as_sent.SRB_PostProc));

    script.completion = Completion::FromThread;
    script.reply = reply_ok({9, 9});
    uint8_t buffer[2] = {};
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    script.worker.join();
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(buffer[1], 9);
}

TEST_F(TransportTest, TimedOutRequestStaysParkedForItsProvider) {
    script.completion = Completion::Pending;
    uint8_t buffer[256];
    memset(buffer, 0xCC, sizeof buffer);
    const int parked_before = aspi_parked_requests();
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0, 20), 0x00000000u);
    EXPECT_EQ(aspi_parked_requests(), parked_before + 1);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0x00);

    // The provider finishes long after the caller has given up: everything it touches
    // must still be there (AddressSanitizer watches), and the caller sees nothing of it.
    SRB_ExecSCSICmd* late = script.live;
    complete(late, reply_ok(std::vector<uint8_t>(256, 0x77)), true);
    for (uint8_t b : buffer) ASSERT_EQ(b, 0x00);
    const int parked_event = aspi_postproc_to_event(late->SRB_PostProc);

    // The next command gets a request of its own and is not confused by that signal.
    script.completion = Completion::AtOnce;
    script.reply = reply_ok({5});
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0x01000000u);
    EXPECT_NE(script.live, late);
    EXPECT_NE(aspi_postproc_to_event(script.live->SRB_PostProc), parked_event);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[1], 0);
}

TEST_F(TransportTest, EventThatCannotBeCreatedSendsNothing) {
    static const EventOps no_events{failing_create, nullptr};
    g_real_events = platform_set_event_ops(&no_events);
    EXPECT_EQ(call(kRead, nullptr, 0, 0), 0xE9000000u);
    EXPECT_EQ(script.sends, 0);
}

TEST_F(TransportTest, RefusesRequestsThatCannotBeSent) {
    uint8_t buffer[8];
    std::vector<uint8_t> too_long(17, 0);
    EXPECT_EQ(call(too_long, nullptr, 0, 0), 0xE0000000u);
    EXPECT_EQ(ASPI_Call(0, 0, 0, kRead.data(), 0, nullptr, 0, 0, 100), 0xE0000000u);
    EXPECT_EQ(ASPI_Call(0, 0, 0, nullptr, 6, nullptr, 0, 0, 100), 0xE0000000u);
    EXPECT_EQ(call(kRead, nullptr, 8, 0), 0xE0000000u);
    EXPECT_EQ(call(kRead, buffer, 0x7FFFFFFFu, 0), 0xE6000000u);  // nothing zero-filled either
    EXPECT_EQ(script.sends, 0);

    aspi_set_provider_for_test(nullptr, nullptr);
    EXPECT_EQ(call(kRead, buffer, sizeof buffer, 0), 0xE3000000u);
}

TEST(TransportUnload, HarmlessWithoutAProvider) {
    EXPECT_EQ(unload_ASPI(), 0);
    EXPECT_EQ(unload_ASPI(), 0);
}

}  // namespace
