// The tape command set against a recording drive: every CDB byte for byte with its data
// phase and timeout, the result conventions, the length checks, and the ready wait.

#include "scsi/tape_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <tuple>
#include <vector>

#include "fake_drive.h"

namespace {

constexpr uint8_t kIn = 0x48;   // event notify, data in (or no data)
constexpr uint8_t kOut = 0x50;  // event notify, data out
constexpr uint32_t kShort = 25000;
constexpr uint32_t kLong = 60000;
uint8_t buf[5822];

using CommandTest = DriveTest;

// Only the low bytes of a partition, a load flag, a locate kind and a page count.
const uint8_t kPage[100] = {0x13};
constexpr uint32_t kTime = (1u << 24) | (17u << 16) | (35u << 8) | 59u;  // 1:17:35:59
// clang-format off
const std::tuple<std::function<void()>, Bytes, uint8_t, uint32_t, uint32_t> kCommands[] = {
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
    for (const auto& [send, cdb, flags, length, timeout_ms] : kCommands) {
        drive.commands.clear();
        send();
        ASSERT_EQ(drive.commands.size(), 1u) << int(cdb[0]);
        const RecordedCommand& s = drive.commands[0];
        EXPECT_EQ(std::tuple(s.adapter, s.target, s.cdb, s.flags, s.length, s.timeout_ms),
                  std::tuple(1, 5, cdb, flags, length, timeout_ms));
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

// Each command's result after success, CHECK CONDITION (03h 11h/00h), no device at the
// address, and no answer within the timeout.
TEST_F(CommandTest, ResultConventions) {
    using Results = std::array<int64_t, 4>;
    // clang-format off
    const std::pair<std::function<int64_t()>, Results> cases[] = {
        {[] { return scsi_read_block(1, 5, 0, buf, 5822); }, {0x01000000, 0x04031100, 0x82000000, 0}},
        {[] { return scsi_write_block(1, 5, 0, buf, 5822); },
         {0, 0x04031100, 0x82000000, kStatusNoAnswer}},
        {[] { return scsi_read_position(1, 5, 0, buf); },
         {0, 0x04031100, 0x82000000, kStatusNoAnswer}},
        {[] { return scsi_locate2(1, 5, 0, 1, 0); }, {0, -1, -1, -1}},
        {[] { return scsi_inquiry(1, 5, 0, buf, 36); }, {0, -1, 130, -1}},
    };
    // clang-format on
    const DriveReply replies[] = {
        {}, reply_check(0x03, 0x11, 0x00), {.status = SS_NO_DEVICE}, {.status = SS_PENDING}};
    for (const auto& [call, expected] : cases) {
        Results results;
        for (int i = 0; i < 4; i++) {
            drive.always(replies[i]);
            results[i] = call();
        }
        EXPECT_EQ(results, expected) << &expected - &cases[0].second;
    }
}

TEST_F(CommandTest, ModeDataAreCutToTheCallersBufferAndDensityIsReadBack) {
    Bytes mode(40, 0x13);
    mode[0] = 23;  // 24 bytes of mode data; density 0x13 whatever the drive is sent
    drive.always({.data = mode});
    Bytes out(100, 0xEE);
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, out.data(), 100), 24);
    EXPECT_EQ(Bytes(out.begin() + 22, out.begin() + 25), Bytes({0x13, 0x13, 0xEE}))
        << "only the mode data are copied";
    Bytes small(10, 0xEE);  // AddressSanitizer watches the end
    EXPECT_EQ(scsi_mode_sense(1, 5, 0, 0, small.data(), 10), 24);

    EXPECT_EQ(scsi_get_density(1, 5, 0), 0x13);
    drive.commands.clear();
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x13), 0);
    EXPECT_EQ(drive.commands[0].data_out, Bytes({0, 0, 0x10, 0x08, 0x13, 0, 0, 0, 0, 0, 0, 2}));
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x80), -1) << "accepted, but read back another code";
    drive.respond = [&mode](const RecordedCommand& c) {
        return c.cdb[0] == 0x15 ? reply_check(0x05, 0x26, 0x00) : DriveReply{.data = mode};
    };
    EXPECT_EQ(scsi_set_density(1, 5, 0, 0x13), -1) << "refused, though the code is there";
}

// Not ready until the fake clock, started just before it wraps, reaches ready_at_ms;
// halfway there the drive answers success with sense, which is not ready either. Then:
// the status, the commands sent and the time when the wait ended.
TEST_F(CommandTest, WaitReadyPollsEvery100MsUpToTheTimeout) {
    constexpr uint32_t kClockStart = 0xFFFFF000u;
    const std::tuple<uint32_t, uint32_t, uint32_t, ScsiStatus, size_t, uint32_t> cases[] = {
        {3000, 0, 60000, 0x01000000u, 31, 3000},           // polls at 0, 100, ..., 3000 ms
        {0xFFFFFFFFu, 0, 60000, 0x04020401u, 600, 60000},  // never ready
        {1000, 600, 2, 0x01020401u, 1, 700},               // 2 ms: one command, one pause
    };
    for (const auto& [ready_at_ms, start_ms, timeout_ms, status, commands, end_ms] : cases) {
        drive.now_ms = kClockStart + start_ms;
        drive.commands.clear();
        drive.respond = [this, ready_at = ready_at_ms](const RecordedCommand&) {
            uint32_t now = drive.now_ms - kClockStart;
            DriveReply becoming_ready = reply_check(0x02, 0x04, 0x01);
            if (now >= ready_at / 2) becoming_ready.status = SS_COMP;
            return now >= ready_at ? DriveReply{} : becoming_ready;
        };
        ScsiStatus got = scsi_wait_ready(1, 5, 0, timeout_ms);
        EXPECT_EQ(std::tuple(got, drive.commands.size(), drive.now_ms - kClockStart),
                  std::tuple(status, commands, end_ms));
    }
}

}  // namespace
