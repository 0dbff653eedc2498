// The audio LOCATE, the winding it starts, and the READ POSITION record.

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

constexpr uint32_t kGood = 0x01000000;
constexpr uint32_t kEndOfData = 0x04080005;
constexpr uint32_t kInProgress = 0x04020407;

// Frame count k as a BCD time: seconds of 33, 33 and 34 frames.
Bytes time_after(int k) {
    int h = 0, m = 0, s = 0, f = 0;
    for (int i = 0; i < k; ++i) {
        if (++f > (s % 3 == 2 ? 33 : 32)) {
            f = 0;
            if (++s == 60) s = 0, ++m;
        }
    }
    auto bcd = [](int v) { return uint8_t((v / 10) << 4 | v % 10); };
    return {bcd(h), bcd(m), bcd(s), bcd(f)};
}

Bytes audio_locate(uint8_t kind, Bytes target, uint8_t flags = 0x05) {
    Bytes cdb = {0x2B, flags, 0x00, kind, 0, 0, 0, 0, 0x00, 0x00};
    std::copy(target.begin(), target.end(), cdb.begin() + 4);
    return cdb;
}

// 3 lead-in frames, program 1 and program 123 of 40 frames each, then 2 blank frames.
class LocateTest : public VdatTest {
protected:
    static constexpr int kLeadIn = 3;
    static constexpr int kProgramFrames = 40;
    static constexpr int kFrames = kLeadIn + 2 * kProgramFrames + 2;

    void SetUp() override {
        VdatTest::SetUp();
        std::vector<Bytes> tape;
        for (int i = 0; i < kLeadIn; ++i) tape.push_back(make_frame(i, 0x0BB));
        for (int i = 0; i < 2 * kProgramFrames; ++i) {
            Bytes absolute = time_after(i);
            Bytes program = time_after(i % kProgramFrames);
            Bytes frame = make_frame(int(tape.size()), i < kProgramFrames ? 0x001 : 0x123);
            std::copy(absolute.begin(), absolute.end(), frame.begin() + 5768 + 3);
            std::copy(program.begin(), program.end(), frame.begin() + 5760 + 3);
            tape.push_back(frame);
        }
        tape.push_back(make_frame(int(tape.size()), -1));
        tape.push_back(make_frame(int(tape.size()), -1));
        cassette("tape.dat", tape);
    }

    void use_bay(int fps) {
        bay("[0:4]\ncassette=tape.dat\nlocate_fps=" + std::to_string(fps) + "\n");
        ASSERT_EQ(set_density(0, 4, 0x80).scsi_status(), kGood);
    }

    uint32_t status_of(const Bytes& cdb) { return send(0, 4, cdb).scsi_status(); }

    Bytes position_record(uint32_t expected_status = kGood) {
        Bytes record;
        EXPECT_EQ(read_position(0, 4, &record).scsi_status(), expected_status);
        return record;
    }

    Bytes program_digits() {
        Bytes record = position_record();
        return Bytes(record.begin() + 4, record.begin() + 7);
    }
    Bytes absolute_time() {
        Bytes record = position_record();
        return Bytes(record.begin() + 12, record.begin() + 16);
    }
};

TEST_F(LocateTest, FindsTheFirstFrameThatShowsEachKindOfTarget) {
    struct Case {
        uint8_t kind;
        Bytes target;
        int position;
    };
    const Case cases[] = {
        {0x00, {0x00, 0x00, 0x01}, kLeadIn},
        {0x00, {0x00, 0x01, 0x23}, kLeadIn + kProgramFrames},
        {0x00, {0x00, 0x00, 0xC3}, kLeadIn + kProgramFrames},  // 123 as one BCD byte
        {0x20, time_after(50), kLeadIn + 50},
        {0x40, {0x00, 0x00, 0x01, 0x05}, 38},
        {0x60, time_after(5), kLeadIn + 5},  // program 1 shows it first
        {0x60, time_after(38), kLeadIn + 38},
    };
    use_bay(1000);  // one frame a millisecond
    for (const Case& c : cases) {
        ASSERT_EQ(status_of(cdb_rewind()), kGood);
        ASSERT_EQ(status_of(audio_locate(c.kind, c.target)), kGood);
        EXPECT_EQ(status_of(cdb_test_unit_ready()), kInProgress);
        FakeClock::now() += c.position - 1;
        EXPECT_EQ(status_of(cdb_test_unit_ready()), kInProgress);
        FakeClock::now() += 1;
        EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood) << int(c.kind) << " " << c.position;
        Bytes frame;
        ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
        EXPECT_EQ(frame[0], uint8_t(c.position * 7)) << "frame number " << c.position;
    }
}

TEST_F(LocateTest, PositionRecordDescribesTheFrameUnderTheHead) {
    use_bay(1000);
    // Lead-in: program number 0BB, no valid times; the running time counts anyway.
    EXPECT_EQ(position_record(),
              (Bytes{0x80, 0,    0,    0,    0x00, 0x0B, 0x0B, 0,    0x00, 0x00,
                     0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    ASSERT_EQ(status_of(cdb_locate_block(kLeadIn + kProgramFrames + 38)), kGood);
    Bytes expected = {0x00, 0, 0, 0, 0x01, 0x02, 0x03, 0};
    Bytes running = time_after(kLeadIn + kProgramFrames + 38);
    Bytes absolute = time_after(kProgramFrames + 38);
    Bytes program = time_after(38);
    for (const Bytes* part : {&running, &absolute, &program}) {
        expected.insert(expected.end(), part->begin(), part->end());
    }
    EXPECT_EQ(position_record(), expected);
    ASSERT_EQ(status_of(cdb_locate_block(kFrames - 1)), kGood);
    Bytes blank = position_record();
    EXPECT_EQ(Bytes(blank.begin() + 4, blank.end()),
              (Bytes{0x0A, 0x0A, 0x0A, 0, 0x00, 0x00, 0x02, 0x18, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                     0xAA, 0xAA, 0xAA}));
    ASSERT_EQ(status_of(cdb_locate_block(kFrames)), kGood);
    position_record(kEndOfData);
    Bytes block_form(20, 0);
    ASSERT_EQ(send(0, 4, {0x34, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, block_form.data(), 20).status,
              SS_COMP);
    EXPECT_EQ(Bytes(block_form.begin() + 4, block_form.begin() + 12),
              (Bytes{0, 0, 0, kFrames, 0, 0, 0, kFrames}));
    EXPECT_EQ(send(0, 4, cdb_read_position(), block_form.data(), 19).host_status, HASTAT_DO_DU);
}

TEST_F(LocateTest, TheTapeWindsAtTheBaySpeedInEitherDirection) {
    use_bay(10);  // ten frames a second
    ASSERT_EQ(status_of(audio_locate(0x00, {0x00, 0x01, 0x23})), kGood);
    FakeClock::now() += 1000;
    EXPECT_EQ(absolute_time(), time_after(10 - kLeadIn));
    FakeClock::now() += 2999;
    EXPECT_EQ(absolute_time(), time_after(39 - kLeadIn));
    EXPECT_EQ(program_digits(), (Bytes{0, 0, 1}));
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kInProgress);
    FakeClock::now() += 301;
    EXPECT_EQ(program_digits(), (Bytes{1, 2, 3}));
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood);

    ASSERT_EQ(status_of(audio_locate(0x20, time_after(0))), kGood);
    FakeClock::now() += 2000;
    EXPECT_EQ(absolute_time(), time_after(kProgramFrames - 20));
    ASSERT_EQ(status_of(cdb_rewind()), kGood) << "stops the winding";
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood);
    EXPECT_EQ(program_digits(), (Bytes{0, 0x0B, 0x0B}));
}

TEST_F(LocateTest, ATargetNotOnTheTapeWindsToTheEndOfData) {
    use_bay(1000);
    ASSERT_EQ(status_of(audio_locate(0x00, {0x00, 0x00, 0x05})), kGood);
    FakeClock::now() += 40;
    EXPECT_EQ(absolute_time(), time_after(40 - kLeadIn));
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kInProgress);
    FakeClock::now() += kFrames;
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kEndOfData) << "the failure, reported once";
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood);
    position_record(kEndOfData);

    // The same search, followed by the position record first.
    ASSERT_EQ(status_of(cdb_rewind()), kGood);
    ASSERT_EQ(status_of(audio_locate(0x40, {0x00, 0x00, 0x01, 0x33})), kGood)
        << "second 1 has no frame 33";
    FakeClock::now() += kFrames;
    position_record(kEndOfData);
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood);

    // Without the immediate bit the command itself reports it.
    ASSERT_EQ(status_of(cdb_rewind()), kGood);
    EXPECT_EQ(status_of(audio_locate(0x60, {0x00, 0x05, 0x00, 0x00}, 0x04)), kEndOfData);
    position_record(kEndOfData);
    EXPECT_EQ(status_of(audio_locate(0x00, {0x00, 0x00, 0x01}, 0x04)), kGood);
    EXPECT_EQ(program_digits(), (Bytes{0, 0, 1}));
}

TEST_F(LocateTest, CommandsDuringAWindingAndRefusedLocates) {
    use_bay(1);
    ASSERT_EQ(status_of(audio_locate(0x00, {0x00, 0x01, 0x23})), kGood);
    Bytes frame;
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood) << "held until the tape arrives";
    EXPECT_EQ(frame[0], uint8_t((kLeadIn + kProgramFrames) * 7));
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood);

    EXPECT_EQ(status_of(audio_locate(0x80, {0, 0, 0, 0})), 0x04052400u) << "unknown kind";
    EXPECT_EQ(status_of({0x2B, 0x02, 0, 0, 0, 0, 0, 0, 0x01, 0}), 0x04052400u) << "partition 1";
    EXPECT_EQ(status_of(cdb_locate_block(kFrames + 5)), kEndOfData);
    position_record(kEndOfData);
    EXPECT_EQ(status_of({0x0C, 0x00, 0x00, 0x00, 0x02, 0x00}), kGood) << "SEEK BLOCK";
    EXPECT_EQ(program_digits(), (Bytes{0, 0x0B, 0x0B}));
    ASSERT_EQ(set_density(0, 4, 0x13).scsi_status(), kGood);
    EXPECT_EQ(status_of(audio_locate(0x00, {0x00, 0x00, 0x01})), 0x04052400u) << "data mode";
}

TEST_F(LocateTest, AWindingInterruptedByTheEndOfTheRunKeepsItsPlace) {
    use_bay(10);
    ASSERT_EQ(status_of(audio_locate(0x00, {0x00, 0x01, 0x23})), kGood);
    FakeClock::now() += 2500;
    restart();
    EXPECT_EQ(status_of(cdb_test_unit_ready()), kGood);
    Bytes frame;
    ASSERT_EQ(read_frame(0, 4, &frame).scsi_status(), kGood);
    EXPECT_EQ(frame[0], uint8_t(25 * 7));
}

}  // namespace
}  // namespace vdat_test
