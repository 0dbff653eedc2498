#pragma once
// A drive behind the transport's test seam, and a console and a clock to watch it with.
//
// Every request the program sends is recorded. The request is left pending when it is
// sent; the drive answers when the transport waits on the request's event, so each
// command's timeout is recorded as well. The reply comes from FakeDrive::respond.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/aspi_srb.h"

struct RecordedCommand {
    int adapter = 0;
    int target = 0;
    int lun = 0;
    std::vector<uint8_t> cdb;
    uint8_t flags = 0;
    uint32_t length = 0;
    std::vector<uint8_t> data_out;  // what a data-out command carried
    uint32_t timeout_ms = 0;        // 0 until the transport waits
};

struct DriveReply {
    uint8_t status = SS_COMP;
    uint8_t sense_key = 0;  // sense byte 2, flags included
    uint8_t asc = 0;
    uint8_t ascq = 0;
    std::vector<uint8_t> data;  // data-in bytes the drive returns (may be fewer)
};

DriveReply reply_ok(std::vector<uint8_t> data = {});
DriveReply reply_check(uint8_t sense_key, uint8_t asc, uint8_t ascq);
DriveReply reply_status(uint8_t srb_status);

struct FakeDrive {
    std::vector<RecordedCommand> commands;
    std::function<DriveReply(const RecordedCommand&)> respond;
    SRB_ExecSCSICmd* pending = nullptr;
};

// Installs the drive as the ASPI provider, with the event waits it answers; remove
// restores the real events and leaves no provider.
void fake_drive_install(FakeDrive* drive);
void fake_drive_remove();

// Writes a reply into a request as a provider does (data, sense, then status).
void apply_reply(SRB_ExecSCSICmd* srb, const DriveReply& reply);

// A clock that moves only when the program sleeps.
struct FakeClock {
    uint32_t now_ms = 0;
    uint32_t sleeps = 0;
};
void fake_clock_install(FakeClock* clock);
void fake_clock_remove();

// Collects what the program prints to stdout.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();  // ends the capture

private:
    int saved_fd_;
    FILE* file_;
};
