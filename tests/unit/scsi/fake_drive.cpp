#include "fake_drive.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/event.h"
#include "scsi/aspi_transport.h"

namespace {

FakeDrive* g_drive = nullptr;
const EventOps* g_real_events = nullptr;
FakeClock* g_clock = nullptr;

uint32_t fake_support() {
    return 0x0101;
}

uint32_t fake_send(void* request) {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
    RecordedCommand command;
    command.adapter = srb->SRB_HaId;
    command.target = srb->SRB_Target;
    command.lun = srb->SRB_Lun;
    command.cdb.assign(srb->CDBByte, srb->CDBByte + srb->SRB_CDBLen);
    command.flags = srb->SRB_Flags;
    command.length = srb->SRB_BufLen;
    if ((srb->SRB_Flags & SRB_DIR_OUT) && srb->SRB_BufPointer) {
        command.data_out.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
    }
    g_drive->commands.push_back(command);
    g_drive->pending = srb;
    return SS_PENDING;
}

int fake_create() {
    return g_real_events->create();
}

int fake_wait(int, uint32_t timeout_ms) {
    if (!g_drive->pending) return 0;
    RecordedCommand& command = g_drive->commands.back();
    command.timeout_ms = timeout_ms;
    DriveReply reply = g_drive->respond ? g_drive->respond(command) : reply_ok();
    apply_reply(g_drive->pending, reply);
    g_drive->pending = nullptr;
    return 1;
}

const EventOps kFakeEvents{fake_create, fake_wait};

uint32_t fake_now() {
    return g_clock->now_ms;
}

void fake_sleep(uint32_t ms) {
    g_clock->now_ms += ms;
    g_clock->sleeps++;
}

const PlatformClock kFakeClock{fake_now, fake_sleep};

}  // namespace

DriveReply reply_ok(std::vector<uint8_t> data) {
    DriveReply reply;
    reply.data = std::move(data);
    return reply;
}

DriveReply reply_check(uint8_t sense_key, uint8_t asc, uint8_t ascq) {
    DriveReply reply;
    reply.status = SS_ERR;
    reply.sense_key = sense_key;
    reply.asc = asc;
    reply.ascq = ascq;
    return reply;
}

DriveReply reply_status(uint8_t srb_status) {
    DriveReply reply;
    reply.status = srb_status;
    return reply;
}

void apply_reply(SRB_ExecSCSICmd* srb, const DriveReply& reply) {
    if ((srb->SRB_Flags & SRB_DIR_IN) && srb->SRB_BufPointer) {
        size_t n = reply.data.size() < srb->SRB_BufLen ? reply.data.size() : srb->SRB_BufLen;
        if (n) memcpy(srb->SRB_BufPointer, reply.data.data(), n);
    }
    if (reply.sense_key || reply.asc || reply.ascq) {
        srb->SRB_TargStat = STATUS_CHKCOND;
        srb->SenseArea[0] = 0x70;
        srb->SenseArea[2] = reply.sense_key;
        srb->SenseArea[7] = 6;
        srb->SenseArea[12] = reply.asc;
        srb->SenseArea[13] = reply.ascq;
    }
    __atomic_store_n(&srb->SRB_Status, reply.status, __ATOMIC_RELEASE);
}

void fake_drive_install(FakeDrive* drive) {
    g_drive = drive;
    aspi_set_provider_for_test(fake_support, fake_send);
    g_real_events = platform_set_event_ops(&kFakeEvents);
}

void fake_drive_remove() {
    aspi_set_provider_for_test(nullptr, nullptr);
    platform_set_event_ops(nullptr);
    g_drive = nullptr;
}

void fake_clock_install(FakeClock* clock) {
    g_clock = clock;
    platform_set_clock(&kFakeClock);
}

void fake_clock_remove() {
    platform_set_clock(nullptr);
    g_clock = nullptr;
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    saved_fd_ = dup(STDOUT_FILENO);
    file_ = tmpfile();
    dup2(fileno(file_), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
    text();
}

std::string StdoutCapture::text() {
    std::string captured;
    if (!file_) return captured;
    fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file_)) > 0) captured.append(chunk, n);
    fclose(file_);
    file_ = nullptr;
    return captured;
}
