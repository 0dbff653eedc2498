#pragma once
// A drive behind the transport's test seam, with a clock that moves only when the program
// sleeps, and a test fixture that installs both.
//
// Every request the program sends is recorded. Normally the request is left pending when it
// is sent and the drive answers when the transport waits on the request's event, so each
// command's timeout is recorded as well. The reply comes from FakeDrive::respond.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "platform/aspi_srb.h"

using Bytes = std::vector<uint8_t>;

struct RecordedCommand {
    int adapter = 0, target = 0;
    Bytes cdb{};
    uint8_t flags = 0;
    uint32_t length = 0;
    Bytes data_out{};         // what a data-out command carried
    uint32_t timeout_ms = 0;  // 0 until the transport waits
};

// The request status, sense byte 2 (flags included), ASC, ASCQ, and the data-in bytes the
// drive returns (may be fewer than asked). A provider writes sense only after CHECK
// CONDITION.
struct DriveReply {
    uint8_t status = SS_COMP, sense_key = 0, asc = 0, ascq = 0;
    Bytes data{};
    uint8_t host_status = 0;  // SRB_HaStat
};
inline DriveReply reply_check(uint8_t key, uint8_t asc, uint8_t ascq) {
    return {SS_ERR, key, asc, ascq, {}};
}

// When the drive answers: when the transport waits (the event wait answers it), inside
// SendASPI32Command with or without signalling the event, 5 ms later from another thread,
// or never. All but the first leave the waits to the real events.
enum class Completion { AtWait, AtOnce, AtOnceUnsignalled, FromThread, Never };

struct FakeDrive {
    std::vector<RecordedCommand> commands;
    std::function<DriveReply(const RecordedCommand&)> respond = [](auto&) { return DriveReply{}; };
    Completion completion = Completion::AtWait;
    alignas(8) SRB_ExecSCSICmd as_sent{};  // the last request as it reached the drive
    SRB_ExecSCSICmd* live = nullptr;       // the last request itself
    int waits = 0;                         // event waits of the transport
    std::thread worker;
    uint32_t now_ms = 0;  // the clock
    void always(DriveReply reply) {
        respond = [reply](const RecordedCommand&) { return reply; };
    }
};

// Installs the drive as the ASPI provider, with the event waits it answers and its clock;
// remove restores the real events and clock and leaves no provider.
void fake_drive_install(FakeDrive* drive);
void fake_drive_remove();

// Writes a reply into a request as a provider does (data, sense, then status) and
// signals its event when asked.
void complete_request(SRB_ExecSCSICmd* srb, const DriveReply& reply, bool signal);

class DriveTest : public ::testing::Test {
protected:
    void SetUp() override { fake_drive_install(&drive); }
    void TearDown() override { fake_drive_remove(); }
    FakeDrive drive;
};
