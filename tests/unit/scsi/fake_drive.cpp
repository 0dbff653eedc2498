#include "fake_drive.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/clock.h"
#include "platform/event.h"
#include "scsi/aspi_transport.h"

namespace {

FakeDrive* g_drive = nullptr;
const EventOps* g_real_events = nullptr;

void answer(SRB_ExecSCSICmd* srb, bool signal) {
    complete_request(srb, g_drive->respond(g_drive->commands.back()), signal);
}

uint32_t fake_send(void* request) {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
    RecordedCommand command{srb->SRB_HaId, srb->SRB_Target,
                            Bytes(srb->CDBByte, srb->CDBByte + srb->SRB_CDBLen), srb->SRB_Flags,
                            srb->SRB_BufLen};
    if ((srb->SRB_Flags & SRB_DIR_OUT) && srb->SRB_BufPointer) {
        command.data_out.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
    }
    g_drive->commands.push_back(command);
    g_drive->as_sent = *srb;
    g_drive->live = srb;
    if (g_drive->completion == Completion::AtOnce) answer(srb, true);
    if (g_drive->completion == Completion::AtOnceUnsignalled) answer(srb, false);
    if (g_drive->completion == Completion::FromThread) {
        g_drive->worker = std::thread([srb] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            answer(srb, true);
        });
    }
    return SS_PENDING;
}

int fake_create() {
    return g_real_events->create();
}

int fake_wait(int event, uint32_t timeout_ms) {
    g_drive->waits++;
    if (g_drive->completion != Completion::AtWait) return g_real_events->wait(event, timeout_ms);
    if (!g_drive->live) return 0;
    g_drive->commands.back().timeout_ms = timeout_ms;
    answer(g_drive->live, false);
    g_drive->live = nullptr;
    return 1;
}

const EventOps kFakeEvents{fake_create, fake_wait};
const PlatformClock kFakeClock{[] { return g_drive->now_ms; },
                               [](uint32_t ms) { g_drive->now_ms += ms; }};

}  // namespace

void complete_request(SRB_ExecSCSICmd* srb, const DriveReply& reply, bool signal) {
    if ((srb->SRB_Flags & SRB_DIR_IN) && srb->SRB_BufPointer) {
        std::copy_n(reply.data.begin(), std::min<size_t>(reply.data.size(), srb->SRB_BufLen),
                    srb->SRB_BufPointer);
    }
    if (reply.sense_key || reply.asc || reply.ascq) {
        srb->SenseArea[2] = reply.sense_key;
        srb->SenseArea[12] = reply.asc;
        srb->SenseArea[13] = reply.ascq;
    }
    srb->SRB_HaStat = reply.host_status;
    __atomic_store_n(&srb->SRB_Status, reply.status, __ATOMIC_RELEASE);
    if (signal) platform_event_signal(aspi_postproc_to_event(srb->SRB_PostProc));
}

void fake_drive_install(FakeDrive* drive) {
    g_drive = drive;
    aspi_set_provider_for_test([]() -> uint32_t { return 0x0101; }, fake_send);
    g_real_events = platform_set_event_ops(&kFakeEvents);
    platform_set_clock(&kFakeClock);
}

void fake_drive_remove() {
    if (g_drive->worker.joinable()) g_drive->worker.join();
    aspi_set_provider_for_test(nullptr, nullptr);
    platform_set_event_ops(nullptr);
    platform_set_clock(nullptr);
    g_drive = nullptr;
}
