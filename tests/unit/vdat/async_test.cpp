// Drives with latency complete their requests later, from another thread, by signalling
// the request's event.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

constexpr int kGenerousWaitMs = 10000;

class AsyncTest : public VdatTest {
protected:
    void SetUp() override {
        VdatTest::SetUp();
        // The latency is real time; the fake clock would only slow the worker's view.
        platform_set_clock(previous_clock_);
        event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ASSERT_GE(event_, 0);
    }
    void TearDown() override {
        VdatTest::TearDown();
        close(event_);
    }

    void submit(SRB_ExecSCSICmd* srb, int target, const Bytes& cdb, uint8_t* data, uint32_t length,
                bool out = false) {
        fill_request(srb, 0, target, cdb, data, length, out);
        srb->SRB_Flags |= SRB_EVENT_NOTIFY;
        srb->SRB_PostProc = aspi_event_to_postproc(event_);
        SendASPI32Command(srb);
    }

    // Waits for the event as the program's transport does, until status is set.
    bool wait_done(const SRB_ExecSCSICmd& srb) {
        while (__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE) == SS_PENDING) {
            pollfd entry{event_, POLLIN, 0};
            if (poll(&entry, 1, kGenerousWaitMs) <= 0) return false;
            uint64_t count = 0;
            EXPECT_EQ(read(event_, &count, sizeof count), 8);
        }
        return true;
    }

    int event_ = -1;
};

TEST_F(AsyncTest, SlowDriveCompletesLaterAndSignalsTheEvent) {
    cassette("tape.dat", {make_frame(0, 1), make_frame(1, 1)});
    bay("[0:4]\ncassette=tape.dat\nlatency_ms=20\n");
    SRB_ExecSCSICmd select;
    uint8_t list[12] = {0x00, 0x00, 0x10, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0x02};
    submit(&select, 4, {0x15, 0x00, 0x00, 0x00, 0x0C, 0x00}, list, sizeof list, true);
    EXPECT_EQ(select.SRB_Status, SS_PENDING);

    // Queued behind the first, completed in order.
    Bytes first(kFrame, 0);
    Bytes second(kFrame, 0);
    Bytes third(kFrame, 0);
    SRB_ExecSCSICmd reads[3];
    submit(&reads[0], 4, cdb_read(), first.data(), kFrame);
    submit(&reads[1], 4, cdb_read(), second.data(), kFrame);
    submit(&reads[2], 4, cdb_read(), third.data(), kFrame);
    ASSERT_TRUE(wait_done(select));
    EXPECT_EQ(select.SRB_Status, SS_COMP);
    for (const SRB_ExecSCSICmd& srb : reads) ASSERT_TRUE(wait_done(srb));
    EXPECT_EQ(reply_of(reads[0]).scsi_status(), 0x01000000u);
    EXPECT_EQ(first, make_frame(0, 1));
    EXPECT_EQ(second, make_frame(1, 1));
    Reply end = reply_of(reads[2]);
    EXPECT_EQ(end.scsi_status(), 0x04080005u) << "sense is in place when the status is";
    EXPECT_EQ(end.target_status, STATUS_CHKCOND);
}

TEST_F(AsyncTest, ShutdownCompletesWhatIsStillQueued) {
    cassette("tape.dat", {});
    bay("[0:4]\ncassette=tape.dat\nlatency_ms=60000\n[0:5]\n");
    SRB_ExecSCSICmd request;
    submit(&request, 4, cdb_test_unit_ready(), nullptr, 0);
    EXPECT_EQ(request.SRB_Status, SS_PENDING);
    // Another drive without latency is not held up by the queue.
    SRB_ExecSCSICmd quick;
    submit(&quick, 5, cdb_test_unit_ready(), nullptr, 0);
    EXPECT_EQ(reply_of(quick).scsi_status(), 0x04023A00u);
    restart();
    EXPECT_EQ(reply_of(request).scsi_status(), 0x01000000u);
}

TEST_F(AsyncTest, AnEventThatIsNoLongerAnEventfdIsLeftAlone) {
    cassette("tape.dat", {});
    bay("[0:4]\ncassette=tape.dat\nlatency_ms=1\n");
    std::string victim = path("victim.txt");
    std::ofstream(victim) << "keep";
    int file = open(victim.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(file, 0);
    SRB_ExecSCSICmd request;
    fill_request(&request, 0, 4, cdb_test_unit_ready(), nullptr, 0, false);
    request.SRB_Flags |= SRB_EVENT_NOTIFY;
    request.SRB_PostProc = aspi_event_to_postproc(file);
    SendASPI32Command(&request);
    restart();  // completes the request
    close(file);
    EXPECT_EQ(request.SRB_Status, SS_COMP);
    EXPECT_EQ(read_text(victim), "keep");
}

}  // namespace
}  // namespace vdat_test
