// The tape command set against a recording drive: every CDB byte for byte with its data
// phase and timeout, the result conventions, the length checks, and the ready wait.

#include "scsi/tape_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

#include "fake_drive.h"

namespace {

typedef std::vector<uint8_t> Bytes;

constexpr uint8_t kIn = 0x48;   // event notify, data in (or no data)
constexpr uint8_t kOut = 0x50;  // event notify, data out
constexpr uint32_t kShort = 25000;
constexpr uint32_t kLong = 60000;
uint8_t buf[5822];

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_drive_install(&drive);
        fake_clock_install(&clock);
    }
    void TearDown() override {
        fake_clock_remove();
        fake_drive_remove();
    }
    FakeDrive drive;
    FakeClock clock;
};

struct Sent {
    std::function<void()> send;
    Bytes cdb;
    uint8_t flags;
    uint32_t length;
    uint32_t timeout_ms;
};

// Only the low bytes of a partition, a load flag, a locate kind and a page count.
const uint8_t kPage[100] = {0x13};
constexpr uint32_t kTime = (1u << 24) | (17u << 16) | (35u << 8) | 59u;  // 1:17:35:59
// clang-format off
const Sent kCommands[] = {
    {[] { scsi_read_block(1, 5, 0, buf, 5822); }, {0x08, 0, 0, 0x16, 0xBE, 0}, kIn, 5822, kShort},
    {[] { scsi_write_block(1, 5, 0, buf, 5822); }, {0x0A, 0, 0, 0x16, 0xBE, 0}, kOut, 5822, kShort},
    {[] { scsi_seek_block(1, 5, 0, 0x123456); }, {0x0C, 0, 0x12, 0x34, 0x56, 0}, kIn, 0, kShort},
    {[] { scsi_rewind(1, 5, 0); }, {0x01, 0, 0, 0, 0, 0}, kIn, 0, kLong},
    {[] { do_load(1, 5, 0, 1); }, {0x1B, 0, 0, 0, 1, 0}, kIn, 0, kLong},
    {[] { do_load(1, 5, 0, 0x100); }, {0x1B, 0, 0, 0, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate(1, 5, 0, 0x01020304, 0x100); },
     {0x2B, 0, 0, 1, 2, 3, 4, 0, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate(1, 5, 0, 7, 5); }, {0x2B, 0x02, 0, 0, 0, 0, 7, 0, 5, 0}, kIn, 0, kLong},
    {[] { scsi_locate2(1, 5, 0, 12, 0x100); }, {0x2B, 5, 0, 0, 0, 0, 0x12, 0, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate2(1, 5, 0, 123, 0); }, {0x2B, 5, 0, 0, 0, 0x01, 0x23, 0, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate2(1, 5, 0, kTime, 1); },
     {0x2B, 5, 0, 0x20, 1, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate2(1, 5, 0, kTime, 2); },
     {0x2B, 5, 0, 0x40, 1, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate2(1, 5, 0, kTime, 3); },
     {0x2B, 5, 0, 0x60, 1, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, kLong},
    {[] { scsi_locate2(1, 5, 0, kTime, 9); },
     {0x2B, 5, 0, 0x00, 1, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, kLong},
    {[] { scsi_read_position(1, 5, 0, buf); }, {0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0}, kIn, 20, kShort},
    {[] { scsi_test_unit_ready(1, 5, 0); }, {0, 0, 0, 0, 0, 0}, kIn, 0, kShort},
    {[] { scsi_read_buffer(1, 5, 0, 0x102, 0x0A0B0C, buf, 300); },
     {0x3C, 1, 0x02, 0x0A, 0x0B, 0x0C, 0, 0, 0xFF, 0}, kIn, 255, kShort},
    {[] { scsi_inquiry(1, 5, 0, buf, 300); }, {0x12, 0, 0, 0, 0xFF, 0}, kIn, 255, kShort},
    {[] { scsi_mode_sense(1, 5, 0, 0x130, buf, 100); },
     {0x1A, 0, 0x30, 0, 100, 0}, kIn, 100, kShort},
    {[] { scsi_mode_sense(1, 5, 0, 0, buf, 400); }, {0x1A, 0, 0, 0, 0xFF, 0}, kIn, 255, kShort},
    {[] { scsi_mode_select_header(1, 5, 0, buf, 20); }, {0x15, 0, 0, 0, 0x0C, 0}, kOut, 20, kShort},
    {[] { scsi_mode_select_page(1, 5, 0, kPage, 100); },
     {0x15, 0, 0, 0, 0x13, 0}, kOut, 19, kShort},
    {[] { scsi_get_density(1, 5, 0); }, {0x1A, 0, 0, 0, 100, 0}, kIn, 100, kShort},
};
// clang-format on

TEST_F(CommandTest, EveryCommandBlockByteForByte) {
    for (const Sent& c : kCommands) {
        drive.commands.clear();
        c.send();
        ASSERT_EQ(drive.commands.size(), 1u) << &c - kCommands;
        const RecordedCommand& s = drive.commands[0];
        EXPECT_EQ(std::make_tuple(s.adapter, s.target, s.cdb, s.flags, s.length, s.timeout_ms),
                  std::make_tuple(1, 5, c.cdb, c.flags, c.length, c.timeout_ms))
            << &c - kCommands;
    }
}

TEST_F(CommandTest, LengthsThatCannotBeSentAreRefused) {
    uint8_t page[100] = {0xC8};  // mode data length past the caller's 100 bytes
    EXPECT_FALSE(scsi_ok(scsi_read_block(1, 5, 0, buf, 0x1000000)));
    EXPECT_NE(scsi_write_block(1, 5, 0, buf, 0x1000000), 0u);
    EXPECT_EQ(scsi_seek_block(1, 5, 0, 0x1000000), -1);
    EXPECT_EQ(scsi_locate2(1, 5, 0, 1000, 0), -1);
    EXPECT_EQ(scsi_inquiry(1, 5, 0, buf, -1), -1);
    EXPECT_EQ(scsi_mode_select_page(1, 5, 0, page, 100), -1);
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x113), -1);
    EXPECT_TRUE(drive.commands.empty());
}

struct Result {
    std::function<int64_t()> call;
    int64_t ok;
    int64_t check;   // after CHECK CONDITION, sense 03h 11h/00h
    int64_t absent;  // no device at the address
    int64_t silent;  // no answer within the timeout
};

TEST_F(CommandTest, ResultConventions) {
    // clang-format off
    const Result cases[] = {
        {[] { return scsi_read_block(1, 5, 0, buf, 5822); }, 0x01000000, 0x04031100, 0x82000000, 0},
        {[] { return scsi_write_block(1, 5, 0, buf, 5822); },
         0, 0x04031100, 0x82000000, kStatusNoAnswer},
        {[] { return scsi_read_position(1, 5, 0, buf); },
         0, 0x04031100, 0x82000000, kStatusNoAnswer},
        {[] { return scsi_locate2(1, 5, 0, 1, 0); }, 0, -1, -1, -1},
        {[] { return scsi_inquiry(1, 5, 0, buf, 36); }, 0, -1, 130, -1},
    };
    // clang-format on
    const DriveReply replies[] = {reply_ok(), reply_check(0x03, 0x11, 0x00),
                                  reply_status(SS_NO_DEVICE), reply_status(SS_PENDING)};
    for (int column = 0; column < 4; column++) {
        always_reply(&drive, replies[column]);
        for (const Result& c : cases) {
            const int64_t expected[] = {c.ok, c.check, c.absent, c.silent};
            EXPECT_EQ(c.call(), expected[column]) << &c - cases << " reply " << column;
        }
    }
}

TEST_F(CommandTest, ModeDataAreCutToTheCallersBufferAndDensityIsReadBack) {
    Bytes mode(40, 0x13);
    mode[0] = 23;  // 24 bytes of mode data; density 0x13 whatever the drive is sent
    always_reply(&drive, reply_ok(mode));
    Bytes out(100, 0xEE);
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, out.data(), 100), 24);
    EXPECT_EQ(out[23], 0x13);
    EXPECT_EQ(out[24], 0xEE) << "only the mode data are copied";
    Bytes small(10, 0xEE);  // AddressSanitizer watches the end
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, small.data(), 10), 24);

    EXPECT_EQ(scsi_get_density(1, 5, 0), 0x13);
    drive.commands.clear();
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x13), 0);
    EXPECT_EQ(drive.commands[0].data_out, Bytes({0, 0, 0x10, 0x08, 0x13, 0, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x80), -1) << "accepted, but read back another code";
    drive.respond = [&mode](const RecordedCommand& c) {
        return c.cdb[0] == 0x15 ? reply_check(0x05, 0x26, 0x00) : reply_ok(mode);
    };
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x13), -1) << "refused, though the code is there";
}

// Not ready until the fake clock, started just before it wraps, reaches ready_at_ms;
// halfway there the drive answers success with sense, which is not ready either.
constexpr uint32_t kClockStart = 0xFFFFF000u;

TEST_F(CommandTest, WaitReadyPollsEvery100MsUpToTheTimeout) {
    struct Case {
        uint32_t ready_at_ms, start_ms, timeout_ms;
        ScsiStatus status;
        size_t commands;
        uint32_t end_ms;
    };
    const Case cases[] = {
        {3000, 0, 60000, 0x01000000u, 31, 3000},           // polls at 0, 100, ..., 3000 ms
        {0xFFFFFFFFu, 0, 60000, 0x04020401u, 600, 60000},  // never ready
        {1000, 600, 2, 0x01020401u, 1, 700},               // 2 ms: one command, one pause
    };
    for (const Case& c : cases) {
        clock.now_ms = kClockStart + c.start_ms;
        drive.commands.clear();
        drive.respond = [this, c](const RecordedCommand&) {
            uint32_t now = clock.now_ms - kClockStart;
            if (now >= c.ready_at_ms) return reply_ok();
            DriveReply becoming_ready = reply_check(0x02, 0x04, 0x01);
            if (now >= c.ready_at_ms / 2) becoming_ready.status = SS_COMP;
            return becoming_ready;
        };
        EXPECT_EQ(scsi_wait_ready(1, 5, 0, c.timeout_ms), c.status) << c.ready_at_ms;
        EXPECT_EQ(drive.commands.size(), c.commands) << c.ready_at_ms;
        EXPECT_EQ(clock.now_ms - kClockStart, c.end_ms) << c.ready_at_ms;
    }
}

}  // namespace
