// The tape command set against a recording drive: every CDB byte for byte with its data
// phase and timeout, the result conventions, the length checks, and the ready wait.

#include "scsi/tape_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "fake_drive.h"

namespace {

typedef std::vector<uint8_t> Bytes;

constexpr uint8_t kIn = 0x48;   // event notify, data in (or no data)
constexpr uint8_t kOut = 0x50;  // event notify, data out
uint8_t g_buffer[5822];

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
    void answer(DriveReply reply) {
        drive.respond = [reply](const RecordedCommand&) { return reply; };
    }
    FakeDrive drive;
    FakeClock clock;
};

struct Sent {
    const char* name;
    std::function<void()> send;
    Bytes cdb;
    uint8_t flags;
    uint32_t length;
    uint32_t timeout_ms;
};

TEST_F(CommandTest, EveryCommandBlockByteForByte) {
    uint8_t page[100] = {0x13};
    const uint32_t t = (1u << 24) | (17u << 16) | (35u << 8) | 59u;  // 1:17:35:59
    // clang-format off
    const Sent cases[] = {
        {"read", [] { scsi_read_block(1, 5, 0, g_buffer, 5822); },
         {0x08, 0, 0, 0x16, 0xBE, 0}, kIn, 5822, 25000},
        {"write", [] { scsi_write_block(1, 5, 0, g_buffer, 5822); },
         {0x0A, 0, 0, 0x16, 0xBE, 0}, kOut, 5822, 25000},
        {"seek block", [] { scsi_seek_block(1, 5, 0, 0x123456); },
         {0x0C, 0, 0x12, 0x34, 0x56, 0}, kIn, 0, 25000},
        {"rewind", [] { scsi_rewind(1, 5, 0); },
         {0x01, 0, 0, 0, 0, 0}, kIn, 0, 60000},
        {"load", [] { do_load(1, 5, 0, 1); },
         {0x1B, 0, 0, 0, 1, 0}, kIn, 0, 60000},
        {"unload", [] { do_load(1, 5, 0, 0x100); },
         {0x1B, 0, 0, 0, 0, 0}, kIn, 0, 60000},
        {"locate", [] { scsi_locate(1, 5, 0, 0x01020304, 0); },
         {0x2B, 0, 0, 1, 2, 3, 4, 0, 0, 0}, kIn, 0, 60000},
        {"locate partition", [] { scsi_locate(1, 5, 0, 7, 5); },
         {0x2B, 0x02, 0, 0, 0, 0, 7, 0, 5, 0}, kIn, 0, 60000},
        {"partition low byte", [] { scsi_locate(1, 5, 0, 7, 0x100); },
         {0x2B, 0, 0, 0, 0, 0, 7, 0, 0, 0}, kIn, 0, 60000},
        {"program 12", [] { scsi_locate2(1, 5, 0, 12, 0); },
         {0x2B, 5, 0, 0, 0, 0, 0x12, 0, 0, 0}, kIn, 0, 60000},
        {"kind low byte", [] { scsi_locate2(1, 5, 0, 1, 0x100); },
         {0x2B, 5, 0, 0, 0, 0, 0x01, 0, 0, 0}, kIn, 0, 60000},
        {"program 123", [] { scsi_locate2(1, 5, 0, 123, 0); },
         {0x2B, 5, 0, 0, 0, 0x01, 0x23, 0, 0, 0}, kIn, 0, 60000},
        {"program 799", [] { scsi_locate2(1, 5, 0, 799, 0); },
         {0x2B, 5, 0, 0, 0, 0x07, 0x99, 0, 0, 0}, kIn, 0, 60000},
        {"absolute time", [t] { scsi_locate2(1, 5, 0, t, 1); },
         {0x2B, 5, 0, 0x20, 0x01, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, 60000},
        {"running time", [t] { scsi_locate2(1, 5, 0, t, 2); },
         {0x2B, 5, 0, 0x40, 0x01, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, 60000},
        {"program time", [t] { scsi_locate2(1, 5, 0, t, 3); },
         {0x2B, 5, 0, 0x60, 0x01, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, 60000},
        {"other kind", [t] { scsi_locate2(1, 5, 0, t, 9); },
         {0x2B, 5, 0, 0x00, 0x01, 0x17, 0x35, 0x59, 0, 0}, kIn, 0, 60000},
        // 150 minutes has no BCD form: (150 / 10) * 16 keeps its low 8 bits.
        {"no BCD form", [] { scsi_locate2(1, 5, 0, (150u << 16) | 33u, 1); },
         {0x2B, 5, 0, 0x20, 0, 0xF0, 0, 0x33, 0, 0}, kIn, 0, 60000},
        {"read position", [] { scsi_read_position(1, 5, 0, g_buffer); },
         {0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0}, kIn, 20, 25000},
        {"test unit ready", [] { scsi_test_unit_ready(1, 5, 0); },
         {0, 0, 0, 0, 0, 0}, kIn, 0, 25000},
        {"read buffer", [] { scsi_read_buffer(1, 5, 0, 0x102, 0x0A0B0C, g_buffer, 16); },
         {0x3C, 1, 0x02, 0x0A, 0x0B, 0x0C, 0, 0, 16, 0}, kIn, 16, 25000},
        {"read buffer 300", [] { scsi_read_buffer(1, 5, 0, 0, 0, g_buffer, 300); },
         {0x3C, 1, 0, 0, 0, 0, 0, 0, 0xFF, 0}, kIn, 255, 25000},
        {"inquiry 300", [] { scsi_inquiry(1, 5, 0, g_buffer, 300); },
         {0x12, 0, 0, 0, 0xFF, 0}, kIn, 255, 25000},
        {"mode sense", [] { scsi_mode_sense(1, 5, 0, 0x130, g_buffer, 100); },
         {0x1A, 0, 0x30, 0, 100, 0}, kIn, 100, 25000},
        {"mode sense 400", [] { scsi_mode_sense(1, 5, 0, 0, g_buffer, 400); },
         {0x1A, 0, 0, 0, 0xFF, 0}, kIn, 255, 25000},
        {"select header", [] { scsi_mode_select_header(1, 5, 0, g_buffer, 20); },
         {0x15, 0, 0, 0, 0x0C, 0}, kOut, 20, 25000},
        {"select page", [&page] { scsi_mode_select_page(1, 5, 0, page, 100); },
         {0x15, 0, 0, 0, 0x13, 0}, kOut, 19, 25000},
        {"density", [] { scsi_get_density(1, 5, 0); },
         {0x1A, 0, 0, 0, 100, 0}, kIn, 100, 25000},
    };
    // clang-format on
    for (const Sent& c : cases) {
        drive.commands.clear();
        c.send();
        ASSERT_EQ(drive.commands.size(), 1u) << c.name;
        const RecordedCommand& sent = drive.commands[0];
        EXPECT_EQ(sent.cdb, c.cdb) << c.name;
        EXPECT_EQ(sent.flags, c.flags) << c.name;
        EXPECT_EQ(sent.length, c.length) << c.name;
        EXPECT_EQ(sent.timeout_ms, c.timeout_ms) << c.name;
        EXPECT_EQ(sent.adapter * 10 + sent.target, 15) << c.name;
    }
}

TEST_F(CommandTest, LengthsThatCannotBeSentAreRefused) {
    uint8_t page[100] = {0xC8};  // mode data length past the caller's 100 bytes
    EXPECT_FALSE(scsi_ok(scsi_read_block(1, 5, 0, g_buffer, 0x1000000)));
    EXPECT_NE(scsi_write_block(1, 5, 0, g_buffer, 0x1000000), 0u);
    EXPECT_EQ(scsi_seek_block(1, 5, 0, 0x1000000), -1);
    EXPECT_EQ(scsi_locate2(1, 5, 0, 1000, 0), -1);
    EXPECT_EQ(scsi_read_buffer(1, 5, 0, 0, 0, g_buffer, 0), -1);
    EXPECT_EQ(scsi_read_buffer(1, 5, 0, 0, 0x1000000, g_buffer, 4), -1);
    EXPECT_EQ(scsi_inquiry(1, 5, 0, g_buffer, -1), -1);
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, g_buffer, 0), -1);
    EXPECT_EQ(scsi_mode_select_header(1, 5, 0, g_buffer, 0), -1);
    EXPECT_EQ(scsi_mode_select_page(1, 5, 0, page, 100), -1);
    EXPECT_EQ(scsi_mode_select_page(1, 5, 0, page, 0), -1);
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x180), -1);
    EXPECT_TRUE(drive.commands.empty());
}

struct Result {
    const char* name;
    std::function<int64_t()> call;
    int64_t ok;
    int64_t check;   // after CHECK CONDITION, sense 03h 11h/00h
    int64_t absent;  // no device at the address
    int64_t silent;  // no answer within the timeout
};

TEST_F(CommandTest, ResultConventions) {
    // clang-format off
    const Result cases[] = {
        {"read", [] { return scsi_read_block(1, 5, 0, g_buffer, 5822); },
         0x01000000, 0x04031100, 0x82000000, 0},
        {"write", [] { return scsi_write_block(1, 5, 0, g_buffer, 5822); },
         0, 0x04031100, 0x82000000, kStatusNoAnswer},
        {"position", [] { return scsi_read_position(1, 5, 0, g_buffer); },
         0, 0x04031100, 0x82000000, kStatusNoAnswer},
        {"ready", [] { return scsi_test_unit_ready(1, 5, 0); },
         0x01000000, 0x04031100, 0x82000000, 0},
        {"seek block", [] { return scsi_seek_block(1, 5, 0, 1); },
         0, -1, -1, -1},
        {"locate", [] { return scsi_locate(1, 5, 0, 1, 0); },
         0, -1, -1, -1},
        {"locate2", [] { return scsi_locate2(1, 5, 0, 1, 0); },
         0, -1, -1, -1},
        {"read buffer", [] { return scsi_read_buffer(1, 5, 0, 0, 0, g_buffer, 4); },
         0, -1, -1, -1},
        {"inquiry", [] { return scsi_inquiry(1, 5, 0, g_buffer, 36); },
         0, -1, 130, -1},
        {"select", [] { return scsi_mode_select_header(1, 5, 0, g_buffer, 12); },
         0, -1, -1, -1},
    };
    // clang-format on
    const std::pair<DriveReply, int> replies[] = {{reply_ok(), 0},
                                                  {reply_check(0x03, 0x11, 0x00), 1},
                                                  {reply_status(SS_NO_DEVICE), 2},
                                                  {reply_status(SS_PENDING), 3}};
    for (const auto& [reply, column] : replies) {
        answer(reply);
        for (const Result& c : cases) {
            const int64_t expected[] = {c.ok, c.check, c.absent, c.silent};
            EXPECT_EQ(c.call(), expected[column]) << c.name << " reply " << column;
        }
    }
}

TEST_F(CommandTest, RewindLoadAndDensityReadPrintTheirFailures) {
    answer(reply_check(0x02, 0x3A, 0x00));
    StdoutCapture capture;
    EXPECT_EQ(scsi_rewind(1, 5, 0), -1);
    EXPECT_EQ(do_load(1, 5, 0, 1), -1);
    EXPECT_EQ(scsi_get_density(1, 5, 0), -1);
    EXPECT_EQ(capture.text(),
              "rewind failed: 04023a00\nload failed; 04023a00\nget mode page retval -1\n");
}

TEST_F(CommandTest, DataComeBackZeroFilledAndModeDataCut) {
    Bytes data(300, 0xEE);
    answer(reply_ok(Bytes(4, 0x11)));
    EXPECT_EQ(scsi_read_buffer(1, 5, 0, 0, 0, data.data(), 16), 0);
    EXPECT_EQ(data[3], 0x11);
    EXPECT_EQ(data[4], 0x00);
    EXPECT_EQ(data[16], 0xEE) << "nothing past the length is touched";

    Bytes mode(40, 0);
    mode[0] = 23;  // 24 bytes of mode data
    mode[4] = 0x80;
    mode[23] = 0x99;
    mode[24] = 0x98;
    answer(reply_ok(mode));
    Bytes out(100, 0xEE);
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, out.data(), 100), 24);
    EXPECT_EQ(out[23], 0x99);
    EXPECT_EQ(out[24], 0xEE) << "only the mode data are copied";
    Bytes small(10, 0xEE);
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, small.data(), 10), 24);
    EXPECT_EQ(scsi_get_density(1, 5, 0), 0x80);

    // MODE SELECT of a page sends the mode data length's worth, byte 0 included.
    Bytes page(100, 0x44);
    page[0] = 0x13;
    drive.commands.clear();
    EXPECT_EQ(scsi_mode_select_page(1, 5, 0, page.data(), 100), 0);
    EXPECT_EQ(drive.commands[0].data_out, Bytes(page.begin(), page.begin() + 19));
}

TEST_F(CommandTest, DensityIsSetAndReadBack) {
    uint8_t density = 0x13;
    bool accept = true;
    drive.respond = [&](const RecordedCommand& c) {
        if (c.cdb[0] == 0x15) {
            if (!accept) return reply_check(0x05, 0x26, 0x00);
            if (c.data_out[4] == 0x80) density = 0x80;  // the drive takes audio only
            return reply_ok();
        }
        Bytes data(12, 0);
        data[0] = 11;
        data[4] = density;
        return reply_ok(data);
    };
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x80), 0);
    ASSERT_EQ(drive.commands.size(), 2u);
    EXPECT_EQ(drive.commands[0].data_out, Bytes({0, 0, 0x10, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(drive.commands[1].cdb, Bytes({0x1A, 0, 0, 0, 100, 0}));

    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x13), -1) << "accepted, but read back another code";
    accept = false;
    drive.commands.clear();
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x80), -1);
    EXPECT_EQ(drive.commands.size(), 1u) << "nothing is read back after a refusal";
}

// Not ready until the fake clock reaches ready_at_ms; success with sense is not ready.
std::function<DriveReply(const RecordedCommand&)> unit_ready_at(const FakeClock* clock,
                                                                uint32_t ready_at_ms) {
    return [clock, ready_at_ms](const RecordedCommand&) {
        if (clock->now_ms - 0xFFFFF000u >= ready_at_ms) return reply_ok();
        DriveReply becoming_ready = reply_check(0x02, 0x04, 0x01);
        if (clock->now_ms - 0xFFFFF000u >= ready_at_ms / 2) becoming_ready.status = SS_COMP;
        return becoming_ready;
    };
}

TEST_F(CommandTest, WaitReadyPollsEvery100MsUpToTheTimeout) {
    clock.now_ms = 0xFFFFF000u;  // the clock wraps during each wait
    drive.respond = unit_ready_at(&clock, 3000);
    EXPECT_EQ(scsi_wait_ready(1, 5, 0, 60000), 0x01000000u);
    EXPECT_EQ(drive.commands.size(), 31u);  // at 0, 100, ..., 3000 ms
    EXPECT_EQ(clock.now_ms - 0xFFFFF000u, 3000u);

    clock.now_ms = 0xFFFFF000u;
    drive.commands.clear();
    drive.respond = unit_ready_at(&clock, 0xFFFFFFFFu);
    EXPECT_EQ(scsi_wait_ready(1, 5, 0, 60000), 0x04020401u);
    EXPECT_EQ(drive.commands.size(), 600u);
    EXPECT_EQ(clock.now_ms - 0xFFFFF000u, 60000u);

    clock.now_ms = 0xFFFFF000u;
    drive.commands.clear();
    drive.respond = unit_ready_at(&clock, 1000);  // ok status, but sense still set
    EXPECT_EQ(scsi_wait_ready(1, 5, 0, 600), 0x01020401u);
    EXPECT_EQ(drive.commands.size(), 6u);

    drive.commands.clear();
    clock.sleeps = 0;
    EXPECT_EQ(scsi_wait_ready(1, 5, 0, 2), 0x01020401u);
    EXPECT_EQ(drive.commands.size(), 1u);
    EXPECT_EQ(clock.sleeps, 1u);
}

}  // namespace
